#include "resampler.h"

#include <algorithm>

#include "zita_resampler.h"

namespace qw::receiver {

namespace {

// An embedder's resampler (qw_receiver_resampler), its figures held within what was given.
class EmbedderResampler final : public Resampler {
  public:
    explicit EmbedderResampler(const qw_receiver_resampler& r) : r_(r) {}

    void reset() override { r_.reset(r_.state); }
    void setCorrection(double correction) override { correction_ = correction; }
    void process(const float* in, uint32_t& inFrames, float* out, uint32_t& outFrames) override {
        uint32_t inLeft = inFrames, outLeft = outFrames;
        r_.process(r_.state, correction_, in, &inLeft, out, &outLeft);
        inFrames = std::min(inLeft, inFrames);
        outFrames = std::min(outLeft, outFrames);
    }
    uint32_t startFrames() const override { return r_.start_frames; }

  private:
    qw_receiver_resampler r_;
    double correction_ = 1.0;
};

}  // namespace

std::unique_ptr<Resampler> makeResampler(const qw_receiver_config& config) {
    if (config.resampler != nullptr) return std::make_unique<EmbedderResampler>(*config.resampler);
    return std::make_unique<ZitaResampler>(config.output_rate);
}

}  // namespace qw::receiver
