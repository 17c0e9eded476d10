#include "bridge/capture/coreaudio/device_lookup.h"

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <vector>

#include "osutil/cf_utf8.h"

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
        const auto text = qw::utf8Of(name);  // whole, past any NUL character
        CFRelease(name);
        if (text && *text == named) return device;
    }
    return std::nullopt;
}
