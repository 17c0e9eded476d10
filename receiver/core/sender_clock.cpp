#include "sender_clock.h"

#include "common/wire_format.h"

namespace qw::receiver {

SenderClock::SenderClock() : fit_(wire::kSampleRate) {}

void SenderClock::reset() {
    fit_.reset();
    latestDue_ = -1;
}

double SenderClock::onArrival(double framesTotal, double seconds) {
    const double late = fit_.add(framesTotal, seconds);
    if (fit_.valid()) latestDue_ = seconds - late;
    return late;
}

}  // namespace qw::receiver
