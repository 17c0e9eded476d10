#include "null_output.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/atomic_max.h"
#include "common/monotonic_clock.h"
#include "common/wire_format.h"

namespace qwr {

using qw::monotonicNs;

NullOutput::NullOutput(qw_receiver* receiver, double clockPpm, std::string wavPath)
    : receiver_(receiver),
      rate_(qw::wire::kSampleRate * (1 + clockPpm * 1e-6)),
      wavPath_(std::move(wavPath)) {}

NullOutput::~NullOutput() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    wav_.finish();
}

bool NullOutput::start(std::string& error) {
    if (!wavPath_.empty() && !wav_.open(wavPath_)) {
        error = "cannot write " + wavPath_;
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void NullOutput::run() {
    constexpr uint32_t kPiece = 4800;
    std::vector<int16_t> block(2 * kPiece);
    const int64_t start = monotonicNs();
    uint64_t taken = 0;
    timespec wake{};
    ::clock_gettime(CLOCK_MONOTONIC, &wake);
    while (!stop_.load(std::memory_order_relaxed)) {
        wake.tv_nsec += 1000000;
        if (wake.tv_nsec >= 1000000000) wake.tv_nsec -= 1000000000, ++wake.tv_sec;
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        const int64_t now = monotonicNs();
        const int64_t late = now - (int64_t{wake.tv_sec} * 1000000000 + wake.tv_nsec);
        qw::raiseAtomicMax(worstLateUs_, static_cast<uint64_t>(std::max<int64_t>(0, late) / 1000));
        const auto due = static_cast<uint64_t>(static_cast<double>(now - start) * 1e-9 * rate_);
        while (taken < due) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(due - taken, kPiece));
            qw_receiver_pull_s16(receiver_, block.data(), n);
            if (!wavPath_.empty()) {
                wav_.append(reinterpret_cast<const uint8_t*>(block.data()), size_t{n} * 4);
            }
            taken += n;
        }
        // The output's playback clock: what it has taken by now, by the monotonic clock.
        qw_receiver_output_clock(receiver_, taken, now);
        if (late > 100000000) wake = timespec{now / 1000000000, now % 1000000000};
    }
}

std::string NullOutput::figures() {
    char text[64];
    std::snprintf(text, sizeof text, "null clock %.0f Hz · worst wake-up late %.1f ms", rate_,
                  static_cast<double>(worstLateUs_.exchange(0)) / 1000.0);
    return text;
}

}  // namespace qwr
