#include "hal_helpers.h"

#include <CoreFoundation/CFString.h>

#include <cstdio>
#include <cstdlib>

#include "osutil/cf_utf8.h"

namespace qwtools {

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector,
                                         AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope) {
    const auto address = globalAddress(selector, scope);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size) != 0 || size < 4) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, ids.data()) != 0) return {};
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::optional<std::string> stringProperty(AudioObjectID object,
                                          AudioObjectPropertySelector selector) {
    const auto address = globalAddress(selector);
    CFStringRef value = nullptr;
    UInt32 size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != 0 ||
        value == nullptr) {
        return std::nullopt;
    }
    std::string result = qw::utf8Of(value).value_or("");
    CFRelease(value);
    return result;
}

namespace {

// A property whose value is one fixed-size number.
template <typename T>
std::optional<T> numberProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    T value = 0;
    UInt32 size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != 0 ||
        size != sizeof value) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<UInt32> uint32Property(AudioObjectID object, AudioObjectPropertySelector selector,
                                     AudioObjectPropertyScope scope) {
    return numberProperty<UInt32>(object, globalAddress(selector, scope));
}

std::optional<Float64> float64Property(AudioObjectID object, AudioObjectPropertySelector selector) {
    return numberProperty<Float64>(object, globalAddress(selector));
}

std::optional<Float32> float32Property(AudioObjectID object, AudioObjectPropertySelector selector) {
    return numberProperty<Float32>(object, globalAddress(selector));
}

std::vector<AudioObjectID> allDevices() {
    return objectList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
}

std::optional<AudioObjectID> findDevice(const std::string& which) {
    const auto devices = allDevices();
    if (which.size() > 1 && which[0] == '#') {
        const auto id = static_cast<AudioObjectID>(std::strtoul(which.c_str() + 1, nullptr, 10));
        for (AudioObjectID d : devices) {
            if (d == id) return d;
        }
        return std::nullopt;
    }
    for (AudioObjectID d : devices) {
        if (stringProperty(d, kAudioObjectPropertyName) == which) return d;
    }
    for (AudioObjectID d : devices) {
        if (stringProperty(d, kAudioDevicePropertyDeviceUID) == which) return d;
    }
    return std::nullopt;
}

UInt32 streamChannels(AudioObjectID device, AudioObjectPropertyScope scope) {
    const auto streams = objectList(device, kAudioDevicePropertyStreams, scope);
    if (streams.empty()) return 0;
    const auto address = globalAddress(kAudioStreamPropertyVirtualFormat);
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    if (AudioObjectGetPropertyData(streams.front(), &address, 0, nullptr, &size, &format) != 0) {
        return 0;
    }
    return format.mChannelsPerFrame;
}

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string fourCC(UInt32 code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>(code >> shift);
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

}  // namespace qwtools
