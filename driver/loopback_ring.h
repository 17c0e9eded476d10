// Copies between an IO buffer of interleaved stereo Float32 frames and the loopback ring.
//
// The frame for sample time t lives at ring frame floor(t) mod kRingFrameCount, taken into
// [0, kRingFrameCount) also for negative t. Frame j of a block lives where start + j, the sum
// rounded to Float64, does. Each ring frame keeps floor(t) of the write that stored it; a read
// at t gets the frame only if that is floor(t), and silence otherwise (nothing written at t since
// the ring was cleared, or only at t plus or minus whole laps). Blocks whose frames sit at
// consecutive positions (every whole-number start below 2^52, and most fractional ones) are copied
// in one span, or two across the ring's end; anything else, and blocks longer than the ring, frame
// by frame. Inline, as this is the whole of the IO path.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>

#include "driver_state.h"

namespace loopback {

constexpr Float64 kTwoToThe52 = 4503599627370496.0;

// floor(x) for |x| < 2^52, without a library call.
inline SInt64 floorBelow2To52(Float64 x) {
    const auto t = static_cast<SInt64>(x);  // toward zero
    return static_cast<Float64>(t) > x ? t - 1 : t;
}

// The distance between neighbouring Float64 values in the binade of x (x >= 1, finite).
inline Float64 spacingAt(Float64 x) {
    UInt64 bits;
    std::memcpy(&bits, &x, sizeof bits);
    const UInt64 spacingBits = ((bits >> 52) - 52) << 52;
    Float64 spacing;
    std::memcpy(&spacing, &spacingBits, sizeof spacing);
    return spacing;
}

// True when floor(start + j), with the sum rounded to Float64, is floor(start) + j for every
// frame j of a block no longer than the ring; `firstFrame` is then the ring frame of frame 0.
//
// Let k = floor(start), f = start - k (0 <= f < 1) and B = |start| + frames < 2^52. Every exact
// sum x = (k + j) + f has |x| < B, so rounding moves it by at most u/2, u being the spacing of
// Float64 values in the binade of B (at most 1/2). k + j is representable and not above x, so the
// rounded sum stays at or above it; it stays below k + j + 1 as long as 1 - f > u/2. Hence the
// test f < 1 - u/2, which every whole-number start passes. (B computed in Float64 is rounded up
// or to a power of two at worst, which only makes u larger; the computed f, exact for starts at
// or above zero, is never below the threshold when the exact f is at or above it, rounding
// being monotonic and the threshold representable.) NaN and infinite starts fail the first test.
inline bool consecutive(Float64 start, UInt32 frames, size_t& firstFrame) {
    const Float64 bound = std::fabs(start) + frames;
    if (!(bound < kTwoToThe52) || frames > kRingFrameCount) return false;
    const SInt64 whole = floorBelow2To52(start);
    const Float64 fraction = start - static_cast<Float64>(whole);
    if (fraction != 0.0 && !(bound >= 1.0 && fraction < 1.0 - spacingAt(bound) / 2)) return false;
    SInt64 index = whole % SInt64{kRingFrameCount};
    if (index < 0) index += kRingFrameCount;
    firstFrame = static_cast<size_t>(index);
    return true;
}

// Calls copy(ringFrame, blockFrame, count) for the run up to the ring's end and, if the block
// goes on, for the run from ring frame 0. `frames` is at most kRingFrameCount.
template <typename Copy>
inline void forEachSpan(size_t ringFrame, UInt32 frames, Copy copy) {
    const size_t head = std::min<size_t>(frames, kRingFrameCount - ringFrame);
    copy(ringFrame, 0, head);
    if (head < frames) copy(0, head, frames - head);
}

// The frame-by-frame rule, for the blocks the span copy does not cover. A start that is not a
// number, or infinite, has no position: reading gives silence, writing stores nothing.
void readFrameByFrame(const LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                      Float32* out);
void writeFrameByFrame(LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                       const Float32* in);

// One frame of a read: the ring's frame if it was written at `time`, else silence.
inline void readFrame(const LoopbackRing& ring, size_t ringFrame, Float64 time, Float32* out) {
    const bool written = ring.writtenAt[ringFrame] == time;
    out[0] = written ? ring.samples[kChannelCount * ringFrame] : 0.0f;
    out[1] = written ? ring.samples[kChannelCount * ringFrame + 1] : 0.0f;
}

}  // namespace loopback

// Silence everywhere, and nothing written at any sample time.
void clearRing(LoopbackRing& ring);

inline void readRing(const LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                     Float32* out) {
    size_t first = 0;
    if (!loopback::consecutive(startSampleTime, frames, first)) {
        loopback::readFrameByFrame(ring, startSampleTime, frames, out);
        return;
    }
    const Float64 whole = static_cast<Float64>(loopback::floorBelow2To52(startSampleTime));
    loopback::forEachSpan(first, frames, [&](size_t ringFrame, size_t blockFrame, size_t count) {
        for (size_t k = 0; k < count; ++k) {
            loopback::readFrame(ring, ringFrame + k, whole + static_cast<Float64>(blockFrame + k),
                                out + kChannelCount * (blockFrame + k));
        }
    });
}

inline void writeRing(LoopbackRing& ring, Float64 startSampleTime, UInt32 frames,
                      const Float32* in) {
    size_t first = 0;
    if (!loopback::consecutive(startSampleTime, frames, first)) {
        loopback::writeFrameByFrame(ring, startSampleTime, frames, in);
        return;
    }
    const Float64 whole = static_cast<Float64>(loopback::floorBelow2To52(startSampleTime));
    loopback::forEachSpan(first, frames, [&](size_t ringFrame, size_t blockFrame, size_t count) {
        std::memcpy(ring.samples + kChannelCount * ringFrame, in + kChannelCount * blockFrame,
                    count * kBytesPerFrame);
        for (size_t k = 0; k < count; ++k) {
            ring.writtenAt[ringFrame + k] = whole + static_cast<Float64>(blockFrame + k);
        }
    });
}
