#pragma once
// The sender's clock as the connection's thread sees it: the arrival timeline (frames received
// against the local monotonic clock) fitted along its lower edge, and how late each arrival came
// against that line (what the buffer has to cover: TargetPolicy remembers it).

#include "timeline_fit.h"

namespace qw::receiver {

class SenderClock {
  public:
    SenderClock();

    // A new connection: possibly another sender.
    void reset();
    // An audio frame has arrived: `framesTotal` received on this connection so far. Returns how
    // late it came against the line, in seconds, once the line is valid().
    double onArrival(double framesTotal, double seconds);

    bool valid() const { return fit_.valid(); }
    double rateRatio() const { return fit_.rateRatio(); }
    // When the latest arrival was due by the fitted line (negative: not known).
    double latestDue() const { return latestDue_; }

  private:
    TimelineFit fit_;
    double latestDue_ = -1;
};

}  // namespace qw::receiver
