// Typed property reads the server makes of a plug-in for itself (client process ID 0).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "device_io.h"
#include "plugin_loader.h"

namespace audioserver {

std::optional<std::vector<AudioObjectID>> readObjectList(const PlugIn& plugIn, AudioObjectID object,
                                                         AudioObjectPropertySelector selector,
                                                         AudioObjectPropertyScope scope);
std::optional<UInt32> readUInt32(const PlugIn& plugIn, AudioObjectID object,
                                 AudioObjectPropertySelector selector,
                                 AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
std::optional<Float64> readFloat64(const PlugIn& plugIn, AudioObjectID object,
                                   AudioObjectPropertySelector selector);
std::optional<std::string> readString(const PlugIn& plugIn, AudioObjectID object,
                                      AudioObjectPropertySelector selector);

// The first stream of a device in `scope` ('inpt' or 'outp') whose virtual format the server
// can run: packed, interleaved, native-endian 32-bit float linear PCM. `problem` says why a
// stream that exists was not taken.
StreamInfo readStream(const PlugIn& plugIn, AudioObjectID device, AudioObjectPropertyScope scope,
                      std::string& problem);

// Buffer frame size, nominal rate and safety offsets; absent if the device does not answer.
std::optional<IOSettings> readIOSettings(const PlugIn& plugIn, AudioObjectID device);

}  // namespace audioserver
