#include "zita_resampler.h"

#include <stdexcept>

#include "common/wire_format.h"

namespace qw::receiver {

ZitaResampler::ZitaResampler(double outputRate) {
    // It refuses only ratios outside 1/16..64 (the output rates the C interface accepts are well
    // within); its allocations throw std::bad_alloc.
    if (resampler_.setup(outputRate / wire::kSampleRate, wire::kChannels, kFilterHalfLength) != 0) {
        throw std::invalid_argument("output rate out of zita-resampler's range");
    }
}

void ZitaResampler::process(const float* in, uint32_t& inFrames, float* out, uint32_t& outFrames) {
    resampler_.inp_data = const_cast<float*>(in);  // only read
    resampler_.inp_count = inFrames;
    resampler_.out_data = out;
    resampler_.out_count = outFrames;
    resampler_.process();
    inFrames = resampler_.inp_count;
    outFrames = resampler_.out_count;
}

}  // namespace qw::receiver
