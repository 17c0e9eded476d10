// The property tables of the plug-in (object 1), the device (2) and its two streams (3, 4); the
// controls (6, 7) have theirs in controls.cpp.
#include "property_table.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "controls.h"
#include "object_classes.h"

namespace {

void setBytes(PropertyValue& value, const void* bytes, UInt32 size) {
    std::memcpy(value.bytes, bytes, size);
    value.size = size;
    value.entrySize = 0;
}

void startList(PropertyValue& value, UInt32 entrySize) {
    value.size = 0;
    value.entrySize = entrySize;
}

template <typename T>
void appendEntry(PropertyValue& value, const T& entry) {
    if (value.size + sizeof entry > PropertyValue::kCapacity) return;
    std::memcpy(value.bytes + value.size, &entry, sizeof entry);
    value.size += sizeof entry;
}

void setObjectList(PropertyValue& value, std::initializer_list<AudioObjectID> ids) {
    startList(value, sizeof(AudioObjectID));
    for (AudioObjectID id : ids) appendEntry(value, id);
}

// OwnedObjects: the objects whose class the qualifier names, or derives from one it names.
void setOwnedObjects(PropertyValue& value, const PropertyQualifier& qualifier,
                     std::initializer_list<AudioObjectID> ids) {
    startList(value, sizeof(AudioObjectID));
    for (AudioObjectID id : ids) {
        if (passesClassQualifier(id, qualifier.size, qualifier.data)) appendEntry(value, id);
    }
}

// The UID translation: the device for its own UID, kAudioObjectUnknown for any other.
AudioObjectID deviceWithUID(const PropertyQualifier& qualifier) {
    if (qualifier.data == nullptr || qualifier.size < sizeof(CFStringRef))
        return kAudioObjectUnknown;
    CFStringRef uid;
    std::memcpy(&uid, qualifier.data, sizeof uid);
    if (uid == nullptr || CFGetTypeID(uid) != CFStringGetTypeID()) return kAudioObjectUnknown;
    return CFEqual(uid, CFSTR("QWV_Device_UID")) ? AudioObjectID{kDeviceObjectID}
                                                 : AudioObjectID{kAudioObjectUnknown};
}

bool isStream(AudioObjectID objectID) {
    return objectID == kOutputStreamObjectID || objectID == kInputStreamObjectID;
}

Float64 sampleRate() {
    return gSampleRate.load(std::memory_order_relaxed);
}

OSStatus plugInProperty(AudioObjectPropertySelector selector, const PropertyQualifier& qualifier,
                        PropertyValue& value) {
    switch (selector) {
        case kAudioObjectPropertyBaseClass:
            setValue(value, AudioClassID{kAudioObjectClassID});
            return 0;
        case kAudioObjectPropertyClass:
            setValue(value, classOf(kPlugInObjectID));
            return 0;
        case kAudioObjectPropertyOwner:
            setValue(value, AudioObjectID{kAudioObjectUnknown});
            return 0;
        case kAudioObjectPropertyManufacturer:
            setValue(value, CFSTR("KelderwickLabs"));
            return 0;
        case kAudioObjectPropertyOwnedObjects:
            setOwnedObjects(value, qualifier, {kDeviceObjectID});
            return 0;
        case kAudioPlugInPropertyDeviceList:
            setObjectList(value, {kDeviceObjectID});
            return 0;
        case kAudioPlugInPropertyTranslateUIDToDevice:
            setValue(value, deviceWithUID(qualifier));
            return 0;
        case kAudioPlugInPropertyResourceBundle:
            setValue(value, CFSTR(""));
            return 0;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

void setStreamList(AudioObjectPropertyScope scope, PropertyValue& value) {
    startList(value, sizeof(AudioObjectID));
    if (scope == kAudioObjectPropertyScopeOutput || scope == kAudioObjectPropertyScopeGlobal) {
        appendEntry(value, AudioObjectID{kOutputStreamObjectID});
    }
    if (scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeGlobal) {
        appendEntry(value, AudioObjectID{kInputStreamObjectID});
    }
}

bool deviceIsRunning() {
    pthread_mutex_lock(&gStateMutex);
    const bool running = gIOCount > 0;
    pthread_mutex_unlock(&gStateMutex);
    return running;
}

// Device properties that are plain 32-bit numbers.
bool deviceNumber(AudioObjectPropertySelector selector, UInt32& number) {
    switch (selector) {
        case kAudioObjectPropertyBaseClass:
            number = kAudioObjectClassID;
            return true;
        case kAudioObjectPropertyClass:
            number = classOf(kDeviceObjectID);
            return true;
        case kAudioObjectPropertyOwner:
            number = kPlugInObjectID;
            return true;
        case kAudioDevicePropertyTransportType:
            number = kAudioDeviceTransportTypeVirtual;
            return true;
        case kAudioDevicePropertyRelatedDevices:
            number = kDeviceObjectID;
            return true;
        case kAudioDevicePropertyClockDomain:
            number = 0;
            return true;
        case kAudioDevicePropertyDeviceIsAlive:
            number = 1;
            return true;
        case kAudioDevicePropertyDeviceIsRunning:
            number = deviceIsRunning() ? 1 : 0;
            return true;
        case kAudioDevicePropertyDeviceCanBeDefaultDevice:
            number = 1;
            return true;
        case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
            number = 1;
            return true;
        case kAudioDevicePropertyIsHidden:
            number = 0;
            return true;
        case kAudioDevicePropertyLatency:
            number = 0;
            return true;
        case kAudioDevicePropertySafetyOffset:
            number = 0;
            return true;
        case kAudioDevicePropertyZeroTimeStampPeriod:
            number = kZeroTimeStampPeriod;
            return true;
        case kAudioDevicePropertyBufferFrameSize:
            number = gBufferFrameSize.load(std::memory_order_relaxed);
            return true;
        default:
            return false;
    }
}

OSStatus deviceProperty(const AudioObjectPropertyAddress& address,
                        const PropertyQualifier& qualifier, PropertyValue& value) {
    if (UInt32 number = 0; deviceNumber(address.mSelector, number)) {
        setValue(value, number);
        return 0;
    }
    switch (address.mSelector) {
        case kAudioObjectPropertyName:
            setValue(value, CFSTR("Quillwave"));
            return 0;
        case kAudioObjectPropertyManufacturer:
            setValue(value, CFSTR("KelderwickLabs"));
            return 0;
        case kAudioDevicePropertyDeviceUID:
            setValue(value, CFSTR("QWV_Device_UID"));
            return 0;
        case kAudioDevicePropertyModelUID:
            setValue(value, CFSTR("QWV_Model_UID"));
            return 0;
        case kAudioObjectPropertyOwnedObjects:
            setOwnedObjects(value, qualifier,
                            {kOutputStreamObjectID, kInputStreamObjectID, kVolumeControlObjectID,
                             kMuteControlObjectID});
            return 0;
        case kAudioObjectPropertyControlList:
            setObjectList(value, {kVolumeControlObjectID, kMuteControlObjectID});
            return 0;
        case kAudioDevicePropertyStreams:
            setStreamList(address.mScope, value);
            return 0;
        case kAudioDevicePropertyNominalSampleRate:
            setValue(value, sampleRate());
            return 0;
        case kAudioDevicePropertyAvailableNominalSampleRates:
            startList(value, sizeof(AudioValueRange));
            for (Float64 rate : kSupportedSampleRates)
                appendEntry(value, AudioValueRange{rate, rate});
            return 0;
        case kAudioDevicePropertyBufferFrameSizeRange:
            setValue(value, AudioValueRange{kMinBufferFrameSize, kMaxBufferFrameSize});
            return 0;
        case kAudioDevicePropertyStreamConfiguration: {
            AudioBufferList list{};
            list.mNumberBuffers = 1;
            list.mBuffers[0] = AudioBuffer{kChannelCount, 0, nullptr};
            setValue(value, list);
            return 0;
        }
        case kAudioDevicePropertyPreferredChannelsForStereo: {
            const UInt32 channels[kChannelCount] = {1, 2};
            setValue(value, channels);
            return 0;
        }
        case kAudioDevicePropertyPreferredChannelLayout: {
            AudioChannelLayout layout{};
            layout.mChannelLayoutTag = kAudioChannelLayoutTag_Stereo;
            layout.mNumberChannelDescriptions = 0;
            setBytes(value, &layout, offsetof(AudioChannelLayout, mChannelDescriptions));
            return 0;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus streamProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                        PropertyValue& value) {
    const bool isInput = objectID == kInputStreamObjectID;
    switch (selector) {
        case kAudioObjectPropertyBaseClass:
            setValue(value, AudioClassID{kAudioObjectClassID});
            return 0;
        case kAudioObjectPropertyClass:
            setValue(value, classOf(objectID));
            return 0;
        case kAudioObjectPropertyOwner:
            setValue(value, AudioObjectID{kDeviceObjectID});
            return 0;
        case kAudioObjectPropertyOwnedObjects:
            setObjectList(value, {});
            return 0;
        case kAudioStreamPropertyIsActive:
        case kAudioStreamPropertyStartingChannel:
            setValue(value, UInt32{1});
            return 0;
        case kAudioStreamPropertyDirection:
            setValue(value, UInt32{isInput ? 1U : 0U});
            return 0;
        case kAudioStreamPropertyTerminalType:
            setValue(value, UInt32{isInput ? kAudioStreamTerminalTypeMicrophone
                                           : kAudioStreamTerminalTypeSpeaker});
            return 0;
        case kAudioStreamPropertyLatency:
            setValue(value, UInt32{0});
            return 0;
        case kAudioStreamPropertyVirtualFormat:
        case kAudioStreamPropertyPhysicalFormat:
            setValue(value, streamFormat(sampleRate()));
            return 0;
        case kAudioStreamPropertyAvailableVirtualFormats:
        case kAudioStreamPropertyAvailablePhysicalFormats:
            startList(value, sizeof(AudioStreamRangedDescription));
            for (Float64 rate : kSupportedSampleRates) {
                appendEntry(value, AudioStreamRangedDescription{streamFormat(rate), {rate, rate}});
            }
            return 0;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

}  // namespace

AudioStreamBasicDescription streamFormat(Float64 sampleRate) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = kBytesPerFrame;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = kBytesPerFrame;
    format.mChannelsPerFrame = kChannelCount;
    format.mBitsPerChannel = 8 * sizeof(Float32);
    format.mReserved = 0;
    return format;
}

OSStatus lookUpProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                        const PropertyQualifier& qualifier, PropertyValue& value,
                        const PropertyBytes& callerData) {
    if (isControl(objectID)) return controlProperty(objectID, address.mSelector, callerData, value);
    if (isStream(objectID)) return streamProperty(objectID, address.mSelector, value);
    if (objectID == kDeviceObjectID) return deviceProperty(address, qualifier, value);
    if (objectID == kPlugInObjectID) return plugInProperty(address.mSelector, qualifier, value);
    return kAudioHardwareBadObjectError;
}

bool isPropertySettable(AudioObjectID objectID, AudioObjectPropertySelector selector) {
    if (isControl(objectID)) return isControlPropertySettable(objectID, selector);
    if (objectID == kDeviceObjectID) {
        return selector == kAudioDevicePropertyNominalSampleRate ||
               selector == kAudioDevicePropertyBufferFrameSize;
    }
    if (isStream(objectID)) {
        return selector == kAudioStreamPropertyVirtualFormat ||
               selector == kAudioStreamPropertyPhysicalFormat;
    }
    return false;
}
