#pragma once
// Test helper: polls a condition until it holds or a time limit passes, so tests wait for the
// event they check instead of sleeping a fixed time that a loaded machine may overrun.

#include <chrono>
#include <thread>

template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000),
                std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}
