#include "latency_target.h"

#include <algorithm>

namespace qw::receiver {

LatencyTarget::LatencyTarget(double startMs, double floorMs, bool automatic, double outputRate)
    : ms_(std::clamp(startMs, 0.0, kCeilingMs)),
      floorMs_(std::min(floorMs, ms_)),
      automatic_(automatic),
      rate_(outputRate) {}

void LatencyTarget::onUnderrun(double inForceMs) {
    if (!automatic_) return;
    // Underruns right after one another belong to one disturbance: one raise for them all. The
    // raise counts from the target in force, which the output's and the sender's piece sizes
    // may have lifted above this one: a raise below that would change nothing.
    if (sinceRaiseFrames_ >= rate_ * 0.5) {
        ms_ = std::min(std::max(ms_, inForceMs) + kRaiseMs, kCeilingMs);
        sinceRaiseFrames_ = 0;
    }
}

void LatencyTarget::advance(uint32_t outputFrames, double allowedMs) {
    if (!automatic_) return;
    sinceRaiseFrames_ += outputFrames;
    if (sinceRaiseFrames_ < rate_ * kHoldSeconds || allowedMs >= ms_) return;
    const double step = kLowerMsPerSecond * outputFrames / rate_;
    ms_ = std::max({floorMs_, allowedMs, ms_ - step});
}

}  // namespace qw::receiver
