// Typed property reads the server makes of a plug-in for itself (client process ID 0).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "device_io.h"
#include "plugin_loader.h"

namespace audioserver {

// A list of object IDs, asked with `qualifier` (class IDs for OwnedObjects) if one is given.
std::optional<std::vector<AudioObjectID>> readObjectList(
    const PlugIn& plugIn, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope, const std::vector<AudioClassID>& qualifier = {});
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

// The plug-in's device for `uid` through its TranslateUIDToDevice: kAudioObjectUnknown when the
// UID is not one of its devices'; absent if the plug-in does not answer.
std::optional<AudioObjectID> translateUID(const PlugIn& plugIn, const std::string& uid);

// Buffer frame size, nominal rate, safety offsets and zero time stamp period (0 if the device
// does not give one); absent if the device does not answer for its buffer size or rate.
std::optional<IOSettings> readIOSettings(const PlugIn& plugIn, AudioObjectID device);

}  // namespace audioserver
