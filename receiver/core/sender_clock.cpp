#include "sender_clock.h"

#include <algorithm>
#include <cmath>
#include <functional>

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

// The largest lateness of the last kRecentSeconds, or, if more, the lateness that came back in
// at least kRecurring of the remembered stretches: a single stall is forgotten within seconds,
// stalls that keep coming (a busy machine's, several a minute) hold the target up, and once
// they stop it comes down within the memory's length.
double SenderClock::peakLateness() const {
    if (second_ < 0) return -1;
    const long size = static_cast<long>(perSecond_.size());
    std::array<double, kMemorySeconds / kStretchSeconds> stretches{};
    double recent = 0;
    for (long back = 0; back < size; ++back) {
        // Seconds before the first (simulated time may start at zero) count as quiet.
        if (second_ - back < 0) break;
        const double late = perSecond_[(second_ - back) % size];
        double& peak = stretches[static_cast<size_t>(back / kStretchSeconds)];
        peak = std::max(peak, late);
        if (back < kRecentSeconds) recent = std::max(recent, late);
    }
    std::sort(stretches.begin(), stretches.end(), std::greater<>());
    return std::max(recent, stretches[kRecurring - 1]);
}

}  // namespace qw::receiver
