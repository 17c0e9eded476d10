#pragma once
// Finding an audio device by its name among all the devices the audio system knows.

#include <CoreAudio/CoreAudio.h>

#include <optional>
#include <string_view>

// The first device, in the audio system's order, whose name equals `named` exactly (whole and
// case-sensitive); nothing when there is none. Devices whose name cannot be read are skipped;
// a device list that cannot be read gives nothing. Prints nothing, keeps nothing.
std::optional<AudioObjectID> findDevice(std::string_view named);
