// The gain ramp over the device's timeline.
#include "gain_ramp.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "driver_state.h"

namespace {

// From `from` at sample times before `start` to `to` at start + length - 1 and after.
struct Ramp {
    Float64 start = 0;
    Float64 length = 1;
    Float32 from = 1.0f;
    Float32 to = 1.0f;

    Float32 at(Float64 time) const {
        if (time < start) return from;
        const Float64 done = time - start + 1;
        if (done >= length) return to;
        return static_cast<Float32>(from + (Float64{to} - from) * (done / length));
    }
    // True when the gain is the same at every sample time in [first, last].
    bool steadyOver(Float64 first, Float64 last) const {
        return from == to || last < start || first >= start + length - 1;
    }
};

constexpr Float64 kNoTime = -std::numeric_limits<Float64>::infinity();

std::atomic<Float32> gTarget{1.0f};
// gIOMutex: the current ramp, the one before it, and the first sample time no read has reached.
Ramp gCurrent, gPrevious;
Float64 gFreshFrom = kNoTime;

Float32 gainAt(Float64 time) {
    return time < gCurrent.start ? gPrevious.at(time) : gCurrent.at(time);
}

void scale(Float32* frame, Float32 gain) {
    if (gain == 1.0f) return;
    frame[0] = gain == 0.0f ? 0.0f : frame[0] * gain;
    frame[1] = gain == 0.0f ? 0.0f : frame[1] * gain;
}

// A read covering [first, last] that reaches fresh sample times starts a ramp there when the
// target moved.
void followTarget(Float64 first, Float64 last, UInt32 frames) {
    const Float32 target = gTarget.load(std::memory_order_relaxed);
    if (target != gCurrent.to && last >= gFreshFrom) {
        const Float64 start = first > gFreshFrom ? first : gFreshFrom;
        gPrevious = gCurrent;
        gCurrent = Ramp{start, static_cast<Float64>(frames), gainAt(start), target};
        gFreshFrom = start + frames;  // the next ramp begins after this one has ended
    }
    if (last + 1 > gFreshFrom) gFreshFrom = last + 1;
}

}  // namespace

void setGainTarget(Float32 gain) {
    gTarget.store(gain, std::memory_order_relaxed);
}

void resetGainRamp() {
    const Float32 target = gTarget.load(std::memory_order_relaxed);
    gCurrent = gPrevious = Ramp{0, 1, target, target};
    gFreshFrom = kNoTime;
}

void applyGain(Float64 startSampleTime, UInt32 frames, Float32* samples) {
    if (!std::isfinite(startSampleTime) || frames == 0) return;
    const Float64 first = std::floor(startSampleTime);
    const Float64 last = std::floor(startSampleTime + (frames - 1));
    followTarget(first, last, frames);
    if (gCurrent.steadyOver(first, last) && gPrevious.steadyOver(first, last)) {
        const Float32 gain = gainAt(first);
        if (gain == 0.0f) {
            std::memset(samples, 0, size_t{frames} * kBytesPerFrame);
        } else if (gain != 1.0f) {
            for (size_t i = 0; i < size_t{frames} * kChannelCount; ++i) samples[i] *= gain;
        }
        return;
    }
    for (UInt32 j = 0; j < frames; ++j) {
        scale(samples + kChannelCount * size_t{j}, gainAt(std::floor(startSampleTime + j)));
    }
}
