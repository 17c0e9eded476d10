#include "device_lookup.h"

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <vector>

namespace {

// The reference as UTF-8, or nothing when it cannot be converted.
std::optional<std::string> utf8Of(CFStringRef s) {
    if (const char* direct = CFStringGetCStringPtr(s, kCFStringEncodingUTF8)) return direct;
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    if (size <= 0) return std::nullopt;
    std::string buf(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(s, buf.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
    buf.resize(buf.find('\0'));
    return buf;
}

}  // namespace

std::optional<AudioObjectID> findDevice(std::string_view named) {
    const AudioObjectPropertyAddress devicesAddr{kAudioHardwarePropertyDevices,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddr, 0, nullptr, &size);
    const size_t count = size / sizeof(AudioObjectID);
    if (count == 0) return std::nullopt;

    std::vector<AudioObjectID> devices(count, 0);
    UInt32 listSize = static_cast<UInt32>(count * sizeof(AudioObjectID));
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddr, 0, nullptr, &listSize,
                               devices.data());

    const AudioObjectPropertyAddress nameAddr{
        kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    for (AudioObjectID device : devices) {
        CFStringRef name = nullptr;
        UInt32 nameSize = sizeof(CFStringRef);
        if (AudioObjectGetPropertyData(device, &nameAddr, 0, nullptr, &nameSize, &name) != 0 ||
            name == nullptr) {
            continue;
        }
        const auto text = utf8Of(name);
        CFRelease(name);
        if (text && *text == named) return device;
    }
    return std::nullopt;
}
