// qwctl's commands on a device's output volume and mute controls, and the controls' lines in
// `show` and `watch`.
#pragma once
#include <CoreAudio/AudioHardware.h>

#include <optional>
#include <span>
#include <vector>

namespace qwtools {

using Arguments = std::span<char* const>;

// The first control in the device's control list of class `classID` on its output side.
std::optional<AudioObjectID> outputControl(AudioObjectID device, AudioClassID classID);

// qwctl volume [SCALAR | --db DB]: sets the scalar (0 to 1) or the decibel value, then prints
// the value the device took; with no value it only prints. Exit status as for main.
int volumeCommand(AudioObjectID device, Arguments args);
// qwctl mute [on|off].
int muteCommand(AudioObjectID device, Arguments args);

// The lines `show` prints for the controls.
void printControls(AudioObjectID device);

// Every control of the device, for `watch`.
std::vector<AudioObjectID> controlsOf(AudioObjectID device);

}  // namespace qwtools
