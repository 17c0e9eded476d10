// The volume control's taper: the slider's scalar (0 to 1) is linear in decibels from
// kVolumeMinDecibels to kVolumeMaxDecibels, and scalar 0 is silence (docs/volume-controls.md).
#pragma once
#include <MacTypes.h>

constexpr Float32 kVolumeMinDecibels = -48.0f;
constexpr Float32 kVolumeMaxDecibels = 0.0f;

// The scalar taken into [0, 1]; a value that is not a number gives 0.
Float32 volumeClampedScalar(Float32 scalar);

// Both clamp into the control's range; a value that is not a number gives the range's bottom.
Float32 volumeDecibelsOfScalar(Float32 scalar);
Float32 volumeScalarOfDecibels(Float32 decibels);

// The linear gain the device applies at `scalar`: 0 at 0, 10^(dB/20) above, 1 at the top.
Float32 volumeGainOfScalar(Float32 scalar);
