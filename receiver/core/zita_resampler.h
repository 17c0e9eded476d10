#pragma once
// zita-resampler's VResampler as the playout's resampler: it takes a new ratio every call
// without allocating and smooths the changes itself (docs/receiver.md: choosing the resampler).

#include <zita-resampler/vresampler.h>

#include "resampler.h"

namespace qw::receiver {

class ZitaResampler final : public Resampler {
  public:
    // The filter's half-length: the measured quality at 48 kHz is the same from 16 up, and 32 is
    // what its authors advise for 48 kHz material (0.67 ms of delay).
    static constexpr unsigned kFilterHalfLength = 32;

    explicit ZitaResampler(double outputRate);

    void reset() override { resampler_.reset(); }
    void setCorrection(double correction) override { resampler_.set_rratio(correction); }
    void process(const float* in, uint32_t& inFrames, float* out, uint32_t& outFrames) override;
    // It draws twice its filter half-length at once when it starts.
    uint32_t startFrames() const override { return 2 * kFilterHalfLength; }

  private:
    VResampler resampler_;
};

}  // namespace qw::receiver
