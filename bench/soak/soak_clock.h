#pragma once
// The soak's clock: seconds on the monotonic clock since the program started.

#include <chrono>

inline double soakNow() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
