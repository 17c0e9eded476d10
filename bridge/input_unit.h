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
// `c` as its context, initialises and starts the unit. Only a missing component, a failed
// initialisation and a failed start are failures; other refusals are carried on past.
InputUnitResult startInputUnit(AudioObjectID device, Capture& c, AURenderCallback proc,
                               const AudioFormat& out);

// "AUHAL capturing QWV at {rate} Hz, hw ch={channels}, 256-frame buffer — ..."
std::string captureLine(double devRate, uint32_t channels);
