// The loopback copy. Blocks whose frames sit at consecutive sample positions are copied in at
// most two spans (one when the block does not pass the ring's end); anything else frame by frame.
#include "loopback_ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr Float64 kTwoToThe52 = 4503599627370496.0;

// True when floor(start + j), with the sum rounded to Float64, is floor(start) + j for every
// frame j of the block; `firstFrame` is then the ring frame of frame 0.
//
// Let k = floor(start), f = start - k (0 <= f < 1) and B >= |start| + frames, B < 2^52. Every
// exact sum x = (k + j) + f has |x| < B, so rounding moves it by at most u/2, u being the spacing
// of Float64 values just below B (at most 1/2). k + j is representable and not above x, so the
// rounded sum stays at or above it; it stays below k + j + 1 as long as 1 - f > u/2. Hence the
// test f < 1 - u/2, which every whole-number start passes. The computed f never falls below the
// threshold when the exact one is at or above it (rounding is monotonic, the threshold exact).
bool consecutive(Float64 start, UInt32 frames, UInt32& firstFrame) {
    const Float64 bound = std::fabs(start) + frames;
    if (!(bound < kTwoToThe52)) return false;
    const Float64 whole = std::floor(start);
    const Float64 fraction = start - whole;
    int exponent = 0;
    std::frexp(bound, &exponent);  // bound < 2^exponent
    const Float64 spacing = std::ldexp(1.0, exponent - 53);
    if (!(fraction < 1.0 - spacing / 2)) return false;
    SInt64 index = static_cast<SInt64>(whole) % SInt64{kRingFrameCount};
    if (index < 0) index += kRingFrameCount;
    firstFrame = static_cast<UInt32>(index);
    return true;
}

// The ring frame of one finite sample position.
size_t ringFrameOf(Float64 position) {
    Float64 index = std::fmod(std::floor(position), Float64{kRingFrameCount});
    if (index < 0) index += kRingFrameCount;
    return static_cast<size_t>(index);
}

// Calls copy(ringFrame, blockFrame, count) for each contiguous run, continuing at ring frame 0.
template <typename Copy>
void forEachSpan(UInt32 ringFrame, UInt32 frames, Copy copy) {
    size_t done = 0;
    while (done < frames) {
        const size_t count = std::min<size_t>(frames - done, kRingFrameCount - ringFrame);
        copy(size_t{ringFrame}, done, count);
        done += count;
        ringFrame = 0;
    }
}

}  // namespace

void readRing(const Float32* ring, Float64 startSampleTime, UInt32 frames, Float32* out) {
    if (!std::isfinite(startSampleTime)) {  // no sample position: silence
        std::memset(out, 0, size_t{frames} * kBytesPerFrame);
        return;
    }
    UInt32 first = 0;
    if (consecutive(startSampleTime, frames, first)) {
        forEachSpan(first, frames, [&](size_t ringFrame, size_t blockFrame, size_t count) {
            std::memcpy(out + kChannelCount * blockFrame, ring + kChannelCount * ringFrame,
                        count * kBytesPerFrame);
        });
        return;
    }
    for (UInt32 j = 0; j < frames; ++j) {
        const size_t i = ringFrameOf(startSampleTime + j);
        out[2 * size_t{j}] = ring[2 * i];
        out[2 * size_t{j} + 1] = ring[2 * i + 1];
    }
}

void writeRing(Float32* ring, Float64 startSampleTime, UInt32 frames, const Float32* in) {
    if (!std::isfinite(startSampleTime)) return;  // no sample position: nothing to store
    UInt32 first = 0;
    if (consecutive(startSampleTime, frames, first)) {
        forEachSpan(first, frames, [&](size_t ringFrame, size_t blockFrame, size_t count) {
            std::memcpy(ring + kChannelCount * ringFrame, in + kChannelCount * blockFrame,
                        count * kBytesPerFrame);
        });
        return;
    }
    for (UInt32 j = 0; j < frames; ++j) {
        const size_t i = ringFrameOf(startSampleTime + j);
        ring[2 * i] = in[2 * size_t{j}];
        ring[2 * i + 1] = in[2 * size_t{j} + 1];
    }
}
