#pragma once
// The resampler behind the playout: interleaved stereo float from the stream's 48 kHz to the
// output's rate, times a correction the drift controller moves slowly. zita-resampler's by
// default (zita_resampler.h); an embedder may bring its own through qw_receiver_config. All
// calls come from the output's thread, within the pulls: none may block or allocate.

#include <cstdint>
#include <memory>

#include "quillwave_receiver.h"

namespace qw::receiver {

class Resampler {
  public:
    virtual ~Resampler() = default;

    // Forgets all input: the next output starts afresh.
    virtual void reset() = 0;
    // The output frames per input frame are the nominal ratio times `correction` from the next
    // process() on (near 1: within ±2000 ppm).
    virtual void setCorrection(double correction) = 0;
    // Takes input from `in` and fills `out` until either runs out; `inFrames` and `outFrames`
    // are left with what was not taken and not filled.
    virtual void process(const float* in, uint32_t& inFrames, float* out, uint32_t& outFrames) = 0;
    // The input frames it takes in at once after a reset, before its first output.
    virtual uint32_t startFrames() const = 0;
};

// The configuration's resampler, or zita-resampler's for `config.resampler == nullptr`.
std::unique_ptr<Resampler> makeResampler(const qw_receiver_config& config);

}  // namespace qw::receiver
