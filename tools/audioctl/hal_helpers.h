// Small typed wrappers over the HAL property calls, shared by the command-line tools.
#pragma once
#include <CoreAudio/AudioHardware.h>

#include <optional>
#include <string>
#include <vector>

namespace qwtools {

AudioObjectPropertyAddress globalAddress(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);

std::vector<AudioObjectID> objectList(
    AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
std::optional<std::string> stringProperty(AudioObjectID object,
                                          AudioObjectPropertySelector selector);
std::optional<UInt32> uint32Property(
    AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
std::optional<Float64> float64Property(AudioObjectID object, AudioObjectPropertySelector selector);
std::optional<Float32> float32Property(AudioObjectID object, AudioObjectPropertySelector selector);

std::vector<AudioObjectID> allDevices();
// A device chosen by name (exact), by UID, or by "#<id>"; absent if none matches.
std::optional<AudioObjectID> findDevice(const std::string& which);
// The channel count of the device's first stream in `scope`; 0 without one.
UInt32 streamChannels(AudioObjectID device, AudioObjectPropertyScope scope);

// Text from the server made safe for a terminal: control characters as \xNN.
std::string printable(const std::string& text);

// 'lnam' and other four-character codes as text; non-printable bytes as \xNN.
std::string fourCC(UInt32 code);

}  // namespace qwtools
