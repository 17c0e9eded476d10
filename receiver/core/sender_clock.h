#pragma once
// The sender's clock as the connection's thread sees it: the arrival timeline (frames received
// against the local monotonic clock) fitted along its lower edge, and how late arrivals came
// against that line over the last seconds, the jitter the buffer has to cover.

#include <array>
#include <cstddef>

#include "timeline_fit.h"

namespace qw::receiver {

class SenderClock {
  public:
    // Lateness is remembered per second, for this long, in stretches of this many seconds; the
    // largest lateness of the recent seconds counts, and so does, if more, a lateness that came
    // back in two or more of the stretches, until it has been gone for this many times the
    // longest gap between its comings.
    static constexpr long kMemorySeconds = 60;
    static constexpr long kStretchSeconds = 5;
    static constexpr long kRecentSeconds = 10;
    static constexpr double kHoldGaps = 1.5;
    static_assert(kMemorySeconds % kStretchSeconds == 0);

    SenderClock();

    // A new connection: possibly another sender.
    void reset();
    // An audio frame has arrived: `framesTotal` received on this connection so far.
    void onArrival(double framesTotal, double seconds);

    bool valid() const { return fit_.valid(); }
    double rateRatio() const { return fit_.rateRatio(); }
    // How late arrivals have come against the line, as the buffer has to cover it: the largest
    // of the recent seconds, or what keeps coming back if more; in seconds (negative: not known
    // yet).
    double peakLateness() const;
    // When the latest arrival was due by the fitted line (negative: not known).
    double latestDue() const { return latestDue_; }

  private:
    TimelineFit fit_;
    std::array<double, kMemorySeconds> perSecond_{};
    long second_ = -1;
    double latestDue_ = -1;
};

}  // namespace qw::receiver
