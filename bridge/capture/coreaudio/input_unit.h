#pragma once
// Capturing the device's input side through the HAL output unit switched to input.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <string>

#include "audio_format.h"
#include "capture.h"

struct InputUnitResult {
    bool running = false;  // false: a set-up failure; the caller prints `line` and exits 1
    std::string line;      // the capture line, or the failure line
};

// Creates the unit, points it at `device` with input enabled and output disabled, asks for a
// 256-frame buffer, sets the client format (2 channels of 32-bit float, non-interleaved, at the
// device's rate), fills `c` (unit, formats, converter to `out`, buffers), registers `proc` with
// `c` as its context, lets the unit render up to kCaptureFrames per call, initialises and starts
// the unit. Only a missing component, a failed initialisation and a failed start are failures;
// other refusals are carried on past.
InputUnitResult startInputUnit(AudioObjectID device, Capture& c, AURenderCallback proc,
                               const AudioFormat& out);

// "AUHAL capturing QWV at {rate} Hz, hw ch={channels}, 256-frame buffer — ..."
std::string captureLine(double devRate, uint32_t channels);

// The rate capture works at for a rate the device reports: the rate itself when it is a finite
// number from kMinDeviceRate to kMaxDeviceRate Hz, otherwise (unreadable, 0, negative, not a
// number, absurd) 48000 Hz.
inline constexpr double kMinDeviceRate = 8000.0;
inline constexpr double kMaxDeviceRate = 768000.0;
double usableDeviceRate(double reported);

// The device's rate as its input side reports it through the unit (0 when unreadable). After a
// change the unit may report the old rate for a while.
double readDeviceRate(AudioUnit unit);

// Moves running capture to `rate` Hz: makes the converter and buffers for the new rate, then
// stops the unit, uninitialises it, sets the client format, puts the new converter and buffers
// in place, initialises and starts the unit again. The render callback never runs while the
// capture state changes. `line` is the rate line, or on a failed step the line naming the step
// and its status (capture is then stopped; calling this again retries).
InputUnitResult restartCaptureAt(Capture& c, double rate, const AudioFormat& out);

// "device rate now {rate} Hz — converting to 48000 Hz", or "— no conversion" at 48000 Hz.
std::string deviceRateLine(double rate);
