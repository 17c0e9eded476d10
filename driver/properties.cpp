// The five property operations of the interface table, and the two host calls they make.
#include <CoreAudio/AudioHardware.h>

#include <cstring>

#include "controls.h"
#include "property_table.h"

namespace {

constexpr UInt32 kRateDataSize = sizeof(Float64);
constexpr UInt32 kFormatDataSize = sizeof(AudioStreamBasicDescription);

void announceBufferFrameSize(AudioServerPlugInHostRef host) {
    const AudioObjectPropertyAddress changed = {kAudioDevicePropertyBufferFrameSize,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    host->PropertiesChanged(host, kDeviceObjectID, 1, &changed);
}

OSStatus setBufferFrameSize(UInt32 requested) {
    UInt32 frames = requested;
    if (frames < kMinBufferFrameSize) frames = kMinBufferFrameSize;
    if (frames > kMaxBufferFrameSize) frames = kMaxBufferFrameSize;
    gBufferFrameSize.store(frames, std::memory_order_relaxed);
    if (AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire)) {
        announceBufferFrameSize(host);
    }
    return kAudioHardwareNoError;
}

// First step of a rate change: the host carries it out later through
// QWV_PerformDeviceConfigurationChange.
OSStatus requestSampleRate(Float64 rate) {
    if (!isSupportedSampleRate(rate)) return kAudioHardwareIllegalOperationError;
    AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire);
    if (rate == gSampleRate.load(std::memory_order_relaxed) || host == nullptr) {
        return kAudioHardwareNoError;
    }
    host->RequestDeviceConfigurationChange(host, kDeviceObjectID, static_cast<UInt64>(rate),
                                           nullptr);
    return kAudioHardwareNoError;
}

Float64 leadingFloat64(const void* data) {
    Float64 value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

Boolean QWV_HasProperty(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                        pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress) {
    UInt32 size = 0;
    return QWV_GetPropertyDataSize(inDriver, inObjectID, inClientProcessID, inAddress, 0, nullptr,
                                   &size) == kAudioHardwareNoError;
}

OSStatus QWV_IsPropertySettable(AudioServerPlugInDriverRef, AudioObjectID inObjectID, pid_t,
                                const AudioObjectPropertyAddress* inAddress,
                                Boolean* outIsSettable) {
    if (outIsSettable != nullptr) {
        *outIsSettable =
            inAddress != nullptr && isPropertySettable(inObjectID, inAddress->mSelector);
    }
    return kAudioHardwareNoError;
}

OSStatus QWV_GetPropertyDataSize(AudioServerPlugInDriverRef, AudioObjectID inObjectID, pid_t,
                                 const AudioObjectPropertyAddress* inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32* outDataSize) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    PropertyValue value;
    const OSStatus status =
        lookUpProperty(inObjectID, *inAddress, {inQualifierDataSize, inQualifierData}, value);
    if (status == kAudioHardwareNoError && outDataSize != nullptr) *outDataSize = value.size;
    return status;
}

// Never writes past inDataSize: a list gets as many whole entries as fit, any other value is
// written whole or, if it does not fit, not at all ('!siz').
OSStatus QWV_GetPropertyData(AudioServerPlugInDriverRef, AudioObjectID inObjectID, pid_t,
                             const AudioObjectPropertyAddress* inAddress,
                             UInt32 inQualifierDataSize, const void* inQualifierData,
                             UInt32 inDataSize, UInt32* outDataSize, void* outData) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    PropertyValue value;
    const OSStatus status =
        lookUpProperty(inObjectID, *inAddress, {inQualifierDataSize, inQualifierData}, value,
                       {outData == nullptr ? 0 : inDataSize, outData});
    if (status != kAudioHardwareNoError) return status;
    const UInt32 room = outData == nullptr ? 0 : inDataSize;
    UInt32 written = value.size;
    if (value.entrySize > 0) {
        const UInt32 entries = (room < value.size ? room : value.size) / value.entrySize;
        written = entries * value.entrySize;
    } else if (room < value.size) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (written > 0) std::memcpy(outData, value.bytes, written);
    if (outDataSize != nullptr) *outDataSize = written;
    return kAudioHardwareNoError;
}

OSStatus QWV_SetPropertyData(AudioServerPlugInDriverRef, AudioObjectID inObjectID, pid_t,
                             const AudioObjectPropertyAddress* inAddress, UInt32, const void*,
                             UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr || inData == nullptr) return kAudioHardwareUnsupportedOperationError;
    const AudioObjectPropertySelector selector = inAddress->mSelector;
    if (isControl(inObjectID)) return setControlProperty(inObjectID, selector, inDataSize, inData);
    if (inObjectID == kDeviceObjectID) {
        if (selector == kAudioDevicePropertyBufferFrameSize && inDataSize >= sizeof(UInt32)) {
            UInt32 frames;
            std::memcpy(&frames, inData, sizeof frames);
            return setBufferFrameSize(frames);
        }
        if (selector == kAudioDevicePropertyNominalSampleRate && inDataSize >= kRateDataSize) {
            return requestSampleRate(leadingFloat64(inData));
        }
    }
    if (inObjectID == kOutputStreamObjectID || inObjectID == kInputStreamObjectID) {
        if ((selector == kAudioStreamPropertyVirtualFormat ||
             selector == kAudioStreamPropertyPhysicalFormat) &&
            inDataSize >= kFormatDataSize) {
            return requestSampleRate(leadingFloat64(inData));  // mSampleRate leads the format
        }
    }
    return kAudioHardwareUnsupportedOperationError;
}
