#pragma once
// The buffer's target delay. Fixed, or automatic: each underrun raises it by a step (once per
// burst of underruns), and while the stream stays steady it comes down again slowly, never
// below the floor it started from nor above the ceiling. Time is counted in output frames.

#include <cstdint>

namespace qw::receiver {

class LatencyTarget {
  public:
    static constexpr double kRaiseMs = 2.0;
    static constexpr double kLowerMs = 0.5;
    static constexpr double kSteadySecondsBeforeLowering = 30.0;
    static constexpr double kCeilingMs = 100.0;

    LatencyTarget(double startMs, double floorMs, bool automatic, double outputRate);

    double ms() const { return ms_; }
    bool automatic() const { return automatic_; }

    // An underrun while `inForceMs` was the target actually kept (at least this one).
    void onUnderrun(double inForceMs);
    void advance(uint32_t outputFrames);

  private:
    double ms_;
    double floorMs_;
    bool automatic_;
    double rate_;
    double steadyFrames_ = 0;         // since the last underrun or lowering
    double sinceRaiseFrames_ = 1e18;  // since the last raise
};

}  // namespace qw::receiver
