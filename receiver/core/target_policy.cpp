#include "target_policy.h"

#include <algorithm>
#include <cmath>

#include "common/wire_format.h"

namespace qw::receiver {

TargetPolicy::TargetPolicy(double startMs, bool automatic, double outputRate)
    : ms_(startMs),
      floorMs_(startMs),
      automatic_(automatic),
      rate_(outputRate),
      inputPerMs_(wire::kSampleRate / 1000.0) {}

void TargetPolicy::resetLateness() {
    perSecond_.fill(0);
    second_ = -1;
}

void TargetPolicy::onArrival(double lateSeconds, double seconds) {
    const auto second = static_cast<long>(std::floor(seconds));
    const long size = static_cast<long>(perSecond_.size());
    if (second_ < 0) second_ = second - 1;
    // Seconds that passed without an arrival start empty.
    for (long s = second_ + 1; s <= second && s <= second_ + size; ++s) perSecond_[s % size] = 0;
    second_ = std::max(second_, second);
    double& slot = perSecond_[second_ % size];
    slot = std::max(slot, lateSeconds);
}

// The largest lateness of the last kRecentSeconds, or, if more, a lateness that keeps coming
// back: one that came in at least two of the remembered stretches, for as long as it has been
// gone less than kHoldGaps times the longest gap between its comings. A single stall is forgotten
// within seconds, and so are two that came close together; stalls that keep coming (a busy
// machine's, several a minute, or one every half minute) hold the target up until the next one
// is overdue, and once they stop it comes down that much later.
double TargetPolicy::lateness() const {
    if (second_ < 0) return -1;
    const long size = static_cast<long>(perSecond_.size());
    std::array<double, kMemorySeconds / kStretchSeconds> stretches{};  // [0]: the latest
    double recent = 0;
    for (long back = 0; back < size; ++back) {
        // Seconds before the first (simulated time may start at zero) count as quiet.
        if (second_ - back < 0) break;
        const double late = perSecond_[(second_ - back) % size];
        double& peak = stretches[static_cast<size_t>(back / kStretchSeconds)];
        peak = std::max(peak, late);
        if (back < kRecentSeconds) recent = std::max(recent, late);
    }
    double held = 0;
    for (double level : stretches) {
        if (level <= held) continue;
        long newest = -1, previous = -1, longestGap = 0;
        for (long i = 0; i < static_cast<long>(stretches.size()); ++i) {
            if (stretches[static_cast<size_t>(i)] < level) continue;
            if (newest < 0) newest = i;
            if (previous >= 0) longestGap = std::max(longestGap, i - previous);
            previous = i;
        }
        if (longestGap > 0 && newest <= kHoldGaps * static_cast<double>(longestGap)) held = level;
    }
    return std::max(recent, held);
}

void TargetPolicy::update(const FeedFigures& feed) {
    arrivalFrames_ = feed.arrivalFrames;
    latenessSeconds_ = feed.latenessSeconds;
}

void TargetPolicy::noteRequest(double pieceFrames) {
    largestRequest_ = std::max(pieceFrames, largestRequest_ * kRequestDecay);
}

void TargetPolicy::onUnderrun() {
    if (!automatic_) return;
    // Underruns right after one another belong to one disturbance: one raise for them all. The
    // raise counts from the target in force, which the output's and the sender's piece sizes
    // may have lifted above this one: a raise below that would change nothing.
    if (sinceRaiseFrames_ >= rate_ * kBurstSeconds) {
        const double inForceMs = targetFrames() / inputPerMs_;
        ms_ = std::min(std::max(ms_, inForceMs) + kRaiseMs, kCeilingMs);
        sinceRaiseFrames_ = 0;
    }
}

void TargetPolicy::advance(uint32_t outputFrames) {
    if (!automatic_) return;
    sinceRaiseFrames_ += outputFrames;
    if (sinceRaiseFrames_ < rate_ * kHoldSeconds) return;
    const double allowed = allowedMs();
    if (allowed >= ms_) return;
    const double step = kLowerMsPerSecond * outputFrames / rate_;
    ms_ = std::max({floorMs_, allowed, ms_ - step});
}

double TargetPolicy::targetFrames() const {
    return std::max(ms_ * inputPerMs_, pieceNeedFrames());
}

// Half the output's largest recent piece plus half an arrival (the level swings by both) and a
// millisecond: the buffer must be able to cover a request, whatever the configured target.
double TargetPolicy::pieceNeedFrames() const {
    return 0.5 * (largestRequest_ + arrivalFrames_) + kNeedMarginMs * inputPerMs_;
}

// What the target may come down to: the pieces' need plus the recent jitter (infinite while
// that is not known).
double TargetPolicy::allowedMs() const {
    if (latenessSeconds_ < 0) return HUGE_VAL;
    return (pieceNeedFrames() + kJitterMultiple * latenessSeconds_ * wire::kSampleRate) /
           inputPerMs_;
}

}  // namespace qw::receiver
