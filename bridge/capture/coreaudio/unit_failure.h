#pragma once
// Why the input unit could not be set up, started or moved to a new rate: the platform call that
// failed and its status. The lines are made from it where they are printed.

#include <CoreAudio/CoreAudioTypes.h>

#include <cstdint>
#include <string>

enum class UnitStep : uint8_t {
    findComponent,  // AudioComponentFindNext found no output unit of the HAL kind
    makeInstance,   // AudioComponentInstanceNew
    setFormat,      // AudioUnitSetProperty of the client format
    initialize,     // AudioUnitInitialize
    start,          // AudioOutputUnitStart
    stop,           // AudioOutputUnitStop
    uninitialize,   // AudioUnitUninitialize
};

struct UnitFailure {
    UnitStep step = UnitStep::findComponent;
    OSStatus status = 0;

    bool operator==(const UnitFailure&) const = default;
};

// The start-up line for a failed set-up: "no HAL component", "AudioUnitInitialize failed
// ({status})" (also when no instance could be made: nothing can be initialised) or
// "AudioOutputUnitStart failed ({status})".
std::string unitFailureLine(const UnitFailure& failure);

// The line for a failed move to `rate` Hz: "capture at {rate} Hz: {call} failed ({status}) —
// trying again in a second".
std::string restartFailureLine(double rate, const UnitFailure& failure);
