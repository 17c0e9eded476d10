#pragma once
// The rate correction for the resampler: the drift between the output's clock and the sender's,
// measured from their timelines (so no stall or burst moves it), plus a gentle pull on what is
// left of the level's error beyond a dead band of 0.2 ms: 200 ppm per millisecond beyond it, at
// most 200 ppm and moving by at most 40 ppm a second, so that a change of the target is drained
// at close to the limit and then left.
// The level is sampled right after arrivals, clipped around the target and low-passed, and the
// correction as a whole is low-passed too, so the pitch never steps. The correction is limited
// to ±2000 ppm, room for ±1000 ppm of drift and the level's pull on top. Time is counted in
// output frames, so the loop behaves the same whether it runs in real or simulated time.

#include <cstdint>

namespace qw::receiver {

class DriftController {
  public:
    static constexpr double kLimitPpm = 2000.0;

    DriftController(double inputRate, double outputRate)
        : inputRate_(inputRate), outputRate_(outputRate) {}

    // Starts playing again with the level at `levelFrames` (the target) and the correction at
    // the measured drift.
    void restart(double levelFrames, double clockPpm);
    // One pull of `outputFrames` frames, at a buffer level of `levelFrames` against a target of
    // `targetFrames` (both in input frames), with the clocks' drift `clockPpm` (`measured`:
    // from both timelines; otherwise the last one known, or zero).
    // Returns the rate correction in ppm: positive when the output clock runs fast, so fewer
    // input frames are consumed per output frame.
    double update(double levelFrames, double targetFrames, uint32_t outputFrames, double clockPpm,
                  bool measured);

    double filteredLevel() const { return level_; }
    double correctionPpm() const { return correctionPpm_; }

  private:
    double inputRate_;
    double outputRate_;
    double level_ = 0;
    double target_ = 0;  // the target as the loop sees it: moves smoothly
    double correctionPpm_ = 0;
    double pullPpm_ = 0;  // the level's part of it
    bool measured_ = false;
};

}  // namespace qw::receiver
