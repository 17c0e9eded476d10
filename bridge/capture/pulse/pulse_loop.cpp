#include "bridge/capture/pulse/pulse_loop.h"

#include <chrono>

bool iterateUntil(pa_mainloop* loop, const std::function<bool()>& done, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    constexpr int kRoundMicroseconds = 50000;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        if (pa_mainloop_prepare(loop, kRoundMicroseconds) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
    }
    return true;
}
