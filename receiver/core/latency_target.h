#pragma once
// The buffer's target delay. Fixed, or automatic: an underrun raises it at once by a step (once
// per burst of underruns); it comes down again, steadily, once the last raise is a few seconds
// old and as far as the measured jitter allows (what the caller passes as `allowedMs`), never
// below the floor it started from nor above the ceiling. While the jitter keeps coming back the
// target stays up: fewer underruns come before a lower target.
// Time is counted in output frames.

#include <cstdint>

namespace qw::receiver {

class LatencyTarget {
  public:
    static constexpr double kRaiseMs = 3.0;
    static constexpr double kHoldSeconds = 5.0;
    static constexpr double kLowerMsPerSecond = 1.0;
    static constexpr double kCeilingMs = 100.0;

    LatencyTarget(double startMs, double floorMs, bool automatic, double outputRate);

    double ms() const { return ms_; }
    double floorMs() const { return floorMs_; }
    bool automatic() const { return automatic_; }

    // An underrun while `inForceMs` was the target actually kept (at least this one).
    void onUnderrun(double inForceMs);
    // `allowedMs`: the lowest target the recent jitter allows (infinite while not known).
    void advance(uint32_t outputFrames, double allowedMs);

  private:
    double ms_;
    double floorMs_;
    bool automatic_;
    double rate_;
    double sinceRaiseFrames_ = 1e18;
};

}  // namespace qw::receiver
