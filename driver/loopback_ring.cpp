// The loopback copy frame by frame: absurd, non-finite and some fractional start times.
#include "loopback_ring.h"

#include <iterator>
#include <limits>

namespace loopback {
namespace {

// The ring frame of one finite sample position, exact at any magnitude.
size_t ringFrameOf(Float64 position) {
    Float64 index = std::fmod(std::floor(position), Float64{kRingFrameCount});
    if (index < 0) index += kRingFrameCount;
    return static_cast<size_t>(index);
}

}  // namespace

void readFrameByFrame(const LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                      Float32* out) {
    if (!std::isfinite(startSampleTime)) {
        std::memset(out, 0, size_t{frames} * kBytesPerFrame);
        return;
    }
    for (UInt32 j = 0; j < frames; ++j) {
        const Float64 time = std::floor(startSampleTime + j);
        readFrame(ring, ringFrameOf(time), time, out + kChannelCount * size_t{j});
    }
}

void writeFrameByFrame(LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                       const Float32* in) {
    if (!std::isfinite(startSampleTime)) return;
    for (UInt32 j = 0; j < frames; ++j) {
        const Float64 time = std::floor(startSampleTime + j);
        const size_t i = ringFrameOf(time);
        ring.samples[kChannelCount * i] = in[kChannelCount * size_t{j}];
        ring.samples[kChannelCount * i + 1] = in[kChannelCount * size_t{j} + 1];
        ring.writtenAt[i] = time;
    }
}

}  // namespace loopback

void clearRing(LoopbackRing& ring) {
    std::memset(ring.samples, 0, sizeof ring.samples);
    std::fill(std::begin(ring.writtenAt), std::end(ring.writtenAt),
              std::numeric_limits<Float64>::quiet_NaN());
}
