#pragma once
// What the input unit set-up (CoreAudioSource::startInputUnit, input_unit.cpp) and the rate
// follower share: the rates capture works at and how they are read.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

// The rate capture works at for a rate the device reports: the rate itself when it is a finite
// number from kMinDeviceRate to kMaxDeviceRate Hz, otherwise (unreadable, 0, negative, not a
// number, absurd) 48000 Hz.
inline constexpr double kMinDeviceRate = 8000.0;
inline constexpr double kMaxDeviceRate = 768000.0;
double usableDeviceRate(double reported);

// The device's rate as its input side reports it through the unit (0 when unreadable). After a
// change the unit may report the old rate for a while.
double readDeviceRate(AudioUnit unit);

// The client format: 32-bit float, 2 channels, non-interleaved, packed, at `rate`.
AudioStreamBasicDescription clientFormatAt(double rate);
