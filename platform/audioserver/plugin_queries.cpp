#include "plugin_queries.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>

#include "ipc/session_shared.h"
#include "osutil/cf_utf8.h"

namespace audioserver {
namespace {

constexpr UInt32 kMaxListEntries = 1024;

template <class T>
std::optional<T> readValue(const PlugIn& plugIn, AudioObjectID object,
                           AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    T value{};
    UInt32 size = sizeof value;
    if (plugIn.table().GetPropertyData(plugIn.driver, object, 0, &address, 0, nullptr, sizeof value,
                                       &size, &value) != kAudioHardwareNoError ||
        size != sizeof value) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::vector<AudioObjectID>> readObjectList(
    const PlugIn& plugIn, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope, const std::vector<AudioClassID>& qualifier) {
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    const auto qualifierSize = static_cast<UInt32>(qualifier.size() * sizeof(AudioClassID));
    const void* qualifierData = qualifier.empty() ? nullptr : qualifier.data();
    UInt32 size = 0;
    if (plugIn.table().GetPropertyDataSize(plugIn.driver, object, 0, &address, qualifierSize,
                                           qualifierData, &size) != kAudioHardwareNoError ||
        size > kMaxListEntries * sizeof(AudioObjectID)) {
        return std::nullopt;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    UInt32 got = 0;
    if (!ids.empty() && plugIn.table().GetPropertyData(
                            plugIn.driver, object, 0, &address, qualifierSize, qualifierData,
                            static_cast<UInt32>(ids.size() * sizeof(AudioObjectID)), &got,
                            ids.data()) != kAudioHardwareNoError) {
        return std::nullopt;
    }
    ids.resize(std::min<size_t>(ids.size(), got / sizeof(AudioObjectID)));
    return ids;
}

std::optional<UInt32> readUInt32(const PlugIn& plugIn, AudioObjectID object,
                                 AudioObjectPropertySelector selector,
                                 AudioObjectPropertyScope scope) {
    return readValue<UInt32>(plugIn, object, selector, scope);
}

std::optional<Float64> readFloat64(const PlugIn& plugIn, AudioObjectID object,
                                   AudioObjectPropertySelector selector) {
    return readValue<Float64>(plugIn, object, selector, kAudioObjectPropertyScopeGlobal);
}

std::optional<std::string> readString(const PlugIn& plugIn, AudioObjectID object,
                                      AudioObjectPropertySelector selector) {
    const auto ref =
        readValue<CFStringRef>(plugIn, object, selector, kAudioObjectPropertyScopeGlobal);
    if (!ref || *ref == nullptr) return std::nullopt;
    std::string text = qw::utf8Of(*ref).value_or("");
    CFRelease(*ref);
    return text;
}

StreamInfo readStream(const PlugIn& plugIn, AudioObjectID device, AudioObjectPropertyScope scope,
                      std::string& problem) {
    const auto streams = readObjectList(plugIn, device, kAudioDevicePropertyStreams, scope);
    if (!streams || streams->empty()) return {};
    const AudioObjectID stream = streams->front();
    const auto format = readValue<AudioStreamBasicDescription>(
        plugIn, stream, kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal);
    if (!format) {
        problem = "stream " + std::to_string(stream) + " has no readable format";
        return {};
    }
    const UInt32 flags = format->mFormatFlags;
    const bool runnable =
        format->mFormatID == kAudioFormatLinearPCM && (flags & kAudioFormatFlagIsFloat) != 0 &&
        (flags & kAudioFormatFlagIsNonInterleaved) == 0 &&
        (flags & kAudioFormatFlagIsBigEndian) == 0 && format->mBitsPerChannel == 32 &&
        format->mChannelsPerFrame >= 1 && format->mChannelsPerFrame <= qwipc::kMaxChannels &&
        format->mBytesPerFrame == 4 * format->mChannelsPerFrame;
    if (!runnable) {
        problem = "stream " + std::to_string(stream) + " has a format the server cannot run";
        return {};
    }
    return StreamInfo{stream, format->mChannelsPerFrame};
}

std::optional<AudioObjectID> translateUID(const PlugIn& plugIn, const std::string& uid) {
    CFStringRef text =
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(uid.data()),
                                static_cast<CFIndex>(uid.size()), kCFStringEncodingUTF8, false);
    if (text == nullptr) return std::nullopt;
    const AudioObjectPropertyAddress address{kAudioPlugInPropertyTranslateUIDToDevice,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    const OSStatus rc =
        plugIn.table().GetPropertyData(plugIn.driver, kAudioObjectPlugInObject, 0, &address,
                                       sizeof text, &text, sizeof device, &size, &device);
    CFRelease(text);
    if (rc != kAudioHardwareNoError || size != sizeof device) return std::nullopt;
    return device;
}

std::optional<IOSettings> readIOSettings(const PlugIn& plugIn, AudioObjectID device) {
    const auto frames = readUInt32(plugIn, device, kAudioDevicePropertyBufferFrameSize);
    const auto rate = readFloat64(plugIn, device, kAudioDevicePropertyNominalSampleRate);
    if (!frames || !rate) return std::nullopt;
    IOSettings s;
    s.frameSize = *frames;
    s.sampleRate = *rate;
    s.inputSafetyOffset =
        readUInt32(plugIn, device, kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput)
            .value_or(0);
    s.outputSafetyOffset = readUInt32(plugIn, device, kAudioDevicePropertySafetyOffset,
                                      kAudioObjectPropertyScopeOutput)
                               .value_or(0);
    s.zeroTimeStampPeriod =
        readUInt32(plugIn, device, kAudioDevicePropertyZeroTimeStampPeriod).value_or(0);
    return s;
}

}  // namespace audioserver
