#include "sender_clock.h"

#include <algorithm>
#include <cmath>

#include "common/wire_format.h"

namespace qw::receiver {

SenderClock::SenderClock() : fit_(wire::kSampleRate) {}

void SenderClock::reset() {
    fit_.reset();
    perSecond_.fill(0);
    second_ = -1;
    latestDue_ = -1;
}

void SenderClock::onArrival(double framesTotal, double seconds) {
    const double late = fit_.add(framesTotal, seconds);
    if (!fit_.valid()) return;
    latestDue_ = seconds - late;
    const auto second = static_cast<long>(std::floor(seconds));
    const long size = static_cast<long>(perSecond_.size());
    if (second_ < 0) second_ = second - 1;
    // Seconds that passed without an arrival start empty.
    for (long s = second_ + 1; s <= second && s <= second_ + size; ++s) perSecond_[s % size] = 0;
    second_ = std::max(second_, second);
    double& slot = perSecond_[second_ % size];
    slot = std::max(slot, late);
}

// The largest lateness of the last kRecentSeconds, or, if more, a lateness that keeps coming
// back: one that came in at least two of the remembered stretches, for as long as it has been
// gone less than kHoldGaps times the longest gap between its comings. A single stall is forgotten
// within seconds, and so are two that came close together; stalls that keep coming (a busy
// machine's, several a minute, or one every half minute) hold the target up until the next one
// is overdue, and once they stop it comes down that much later.
double SenderClock::peakLateness() const {
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

}  // namespace qw::receiver
