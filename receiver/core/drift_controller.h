#pragma once
// Estimates how much faster the output's clock runs than the sender's, from the level of the
// receiver's buffer alone: the level is low-passed (the stream arrives in bursts) and a
// proportional-integral loop turns its distance from the target into a rate correction. The
// integral part is the drift estimate; the correction is limited to ±1000 ppm. Time is counted
// in output frames, so the loop behaves the same whether it runs in real or simulated time.

#include <cstdint>

namespace qw::receiver {

class DriftController {
  public:
    static constexpr double kLimitPpm = 1000.0;

    DriftController(double inputRate, double outputRate)
        : inputRate_(inputRate), outputRate_(outputRate) {}

    // Starts playing again: level filter (and the target the loop sees) seeded with
    // `levelFrames` (the level expected on average, which is the target: playing starts right
    // after an arrival, at the peak). After a new connection the drift estimate starts from
    // zero; after an underrun it is kept.
    void restart(double levelFrames, bool forgetDrift);
    // One pull of `outputFrames` frames, at a buffer level of `levelFrames` against a target of
    // `targetFrames` (both in input frames). Returns the rate correction in ppm: positive when
    // the output clock runs fast, so fewer input frames are consumed per output frame.
    double update(double levelFrames, double targetFrames, uint32_t outputFrames);

    double filteredLevel() const { return level_; }
    double driftPpm() const { return integralPpm_; }
    double correctionPpm() const { return correctionPpm_; }

  private:
    double inputRate_;
    double outputRate_;
    double level_ = 0;
    double target_ = 0;  // the target as the loop sees it: comes down smoothly
    double integralPpm_ = 0;
    double correctionPpm_ = 0;
    double lockedSeconds_ = 0;  // since the drift was last forgotten
};

}  // namespace qw::receiver
