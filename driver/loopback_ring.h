// Copies between an IO buffer of interleaved stereo Float32 frames and the loopback ring.
#pragma once
#include "driver_state.h"

// The frame for sample time t lives at ring frame floor(t) mod kRingFrameCount, taken into
// [0, kRingFrameCount) also for negative t. Frame j of a block lives where start + j (in Float64)
// does.
void readRing(const Float32* ring, Float64 startSampleTime, UInt32 frames, Float32* out);
void writeRing(Float32* ring, Float64 startSampleTime, UInt32 frames, const Float32* in);
