// The loopback copy frame by frame: absurd, non-finite and some fractional start times.
#include "loopback_ring.h"

namespace loopback {
namespace {

// The ring frame of one finite sample position, exact at any magnitude.
size_t ringFrameOf(Float64 position) {
    Float64 index = std::fmod(std::floor(position), Float64{kRingFrameCount});
    if (index < 0) index += kRingFrameCount;
    return static_cast<size_t>(index);
}

}  // namespace

void readFrameByFrame(const Float32* ring, Float64 startSampleTime, UInt32 frames, Float32* out) {
    if (!std::isfinite(startSampleTime)) {
        std::memset(out, 0, size_t{frames} * kBytesPerFrame);
        return;
    }
    for (UInt32 j = 0; j < frames; ++j) {
        const size_t i = ringFrameOf(startSampleTime + j);
        out[2 * size_t{j}] = ring[2 * i];
        out[2 * size_t{j} + 1] = ring[2 * i + 1];
    }
}

void writeFrameByFrame(Float32* ring, Float64 startSampleTime, UInt32 frames, const Float32* in) {
    if (!std::isfinite(startSampleTime)) return;
    for (UInt32 j = 0; j < frames; ++j) {
        const size_t i = ringFrameOf(startSampleTime + j);
        ring[2 * i] = in[2 * size_t{j}];
        ring[2 * i + 1] = in[2 * size_t{j} + 1];
    }
}

}  // namespace loopback
