// The gain ReadInput applies, as a function of the device's timeline.
//
// The controls set a target (any thread, no lock). A read that reaches sample times no read has
// reached before picks the target up: the gain moves to it linearly over one IO buffer (the
// read's frame count) from the first of those fresh sample times, reaching the target on the
// buffer's last frame, so a change never clicks. Ramps never overlap, and the state keeps the
// last two, so every read of the same sample times gives the same samples, whichever client
// reads, back to the start of the ramp before the current one. A new timeline starts at the
// target with no ramp. At gain 1 the samples are left as they are (bit-exact), at gain 0 they
// become exact zeros.
//
// resetGainRamp and applyGain run with gIOMutex held: the ramp's state is the IO path's own.
// Neither allocates nor waits.
#pragma once
#include <MacTypes.h>

void setGainTarget(Float32 gain);
void resetGainRamp();
// `samples` holds `frames` interleaved stereo frames read at `startSampleTime`; frame j's sample
// time is floor(startSampleTime + j), as in the ring. A start that is not a number is left alone.
void applyGain(Float64 startSampleTime, UInt32 frames, Float32* samples);
