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

double SenderClock::peakLateness() const {
    if (second_ < 0) return -1;
    return *std::max_element(perSecond_.begin(), perSecond_.end());
}

}  // namespace qw::receiver
