#include <CoreAudio/AudioHardware.h>

#include <cstring>

#include "auhal_unit.h"

// The unit's properties: each one read or written by a function of its own, and the two
// dispatchers that pick it.

namespace halclient {
namespace {

template <class T>
bool readArg(const void* data, UInt32 size, T& out) {
    if (data == nullptr || size < sizeof(T)) return false;
    std::memcpy(&out, data, sizeof(T));
    return true;
}

template <class T>
OSStatus writeArg(const T& value, void* data, UInt32* size) {
    if (data == nullptr || size == nullptr || *size < sizeof(T))
        return kAudioUnitErr_InvalidParameter;
    std::memcpy(data, &value, sizeof(T));
    *size = sizeof(T);
    return kAudioHardwareNoError;
}

bool isInputClientSide(AudioUnitScope scope, AudioUnitElement element) {
    return scope == kAudioUnitScope_Output && element == 1;
}
bool isOutputClientSide(AudioUnitScope scope, AudioUnitElement element) {
    return scope == kAudioUnitScope_Input && element == 0;
}
bool isDeviceSide(AudioUnitScope scope, AudioUnitElement element) {
    return (scope == kAudioUnitScope_Input && element == 1) ||
           (scope == kAudioUnitScope_Output && element == 0);
}

}  // namespace

OSStatus AUHALUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, const void* data, UInt32 size) {
    std::lock_guard<std::mutex> guard(lock_);
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            return setEnableIO(scope, element, data, size);
        case kAudioOutputUnitProperty_CurrentDevice:
            return setCurrentDevice(scope, data, size);
        case kAudioDevicePropertyBufferFrameSize:
            return setBufferFrameSize(data, size);
        case kAudioUnitProperty_StreamFormat:
            return setStreamFormat(scope, element, data, size);
        case kAudioOutputUnitProperty_SetInputCallback:
        case kAudioUnitProperty_SetRenderCallback:
            return setCallback(id, scope, element, data, size);
        case kStandinUnitProperty_OutputLeadFrames:
            return setOutputLead(data, size);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return setMaxFramesPerSlice(scope, data, size);
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUHALUnit::setEnableIO(AudioUnitScope scope, AudioUnitElement element, const void* data,
                                UInt32 size) {
    UInt32 on;
    if (!readArg(data, size, on)) return kAudioUnitErr_InvalidParameter;
    if (initialized_) return kAudioUnitErr_Initialized;
    if (scope == kAudioUnitScope_Input && element == 1) {
        enableInput_ = on != 0;
    } else if (scope == kAudioUnitScope_Output && element == 0) {
        enableOutput_ = on != 0;
    } else {
        return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
    }
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::setCurrentDevice(AudioUnitScope scope, const void* data, UInt32 size) {
    AudioObjectID device;
    if (!readArg(data, size, device)) return kAudioUnitErr_InvalidParameter;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
    device_ = device;
    initialized_ = false;  // a new device is prepared by the next initialisation
    const AudioObjectPropertyAddress classAddress{kAudioObjectPropertyClass,
                                                  kAudioObjectPropertyScopeGlobal,
                                                  kAudioObjectPropertyElementMain};
    AudioClassID cls = 0;
    UInt32 classSize = sizeof cls;
    if (AudioObjectGetPropertyData(device, &classAddress, 0, nullptr, &classSize, &cls) !=
            kAudioHardwareNoError ||
        cls != kAudioDeviceClassID) {
        return kAudioHardwareBadDeviceError;
    }
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::setBufferFrameSize(const void* data, UInt32 size) {
    const AudioObjectID device = effectiveDevice();
    if (device == kAudioObjectUnknown) return kAudioHardwareBadDeviceError;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return AudioObjectSetPropertyData(device, &address, 0, nullptr, size, data);
}

OSStatus AUHALUnit::setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                    const void* data, UInt32 size) {
    AudioStreamBasicDescription asbd;
    if (!readArg(data, size, asbd)) return kAudioUnitErr_InvalidParameter;
    if (isDeviceSide(scope, element)) return kAudioUnitErr_PropertyNotWritable;
    const bool input = isInputClientSide(scope, element);
    if (!input && !isOutputClientSide(scope, element)) {
        return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
    }
    if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
    ClientFormat format;
    if (!parseClientFormat(asbd, format)) return kAudioUnitErr_FormatNotSupported;
    // The unit converts layouts and channel counts but not rates.
    AudioStreamBasicDescription device{};
    if (deviceFormat(input, device) == kAudioHardwareNoError &&
        device.mSampleRate != format.sampleRate) {
        return kAudioUnitErr_FormatNotSupported;
    }
    (input ? inputFormat_ : outputFormat_) = format;
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::setCallback(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, const void* data, UInt32 size) {
    AURenderCallbackStruct callback;
    if (!readArg(data, size, callback)) return kAudioUnitErr_InvalidParameter;
    if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
    if (id == kAudioOutputUnitProperty_SetInputCallback) {
        inputCallback_ = callback;
    } else {
        if (scope != kAudioUnitScope_Input || element != 0) return kAudioUnitErr_InvalidScope;
        renderCallback_ = callback;
    }
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::setOutputLead(const void* data, UInt32 size) {
    UInt32 lead;
    if (!readArg(data, size, lead)) return kAudioUnitErr_InvalidParameter;
    if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
    leadFrames_ = lead;
    return kAudioHardwareNoError;
}

// Taken at initialisation, as on the platform: refused while initialised.
OSStatus AUHALUnit::setMaxFramesPerSlice(AudioUnitScope scope, const void* data, UInt32 size) {
    UInt32 frames;
    if (!readArg(data, size, frames) || frames == 0) return kAudioUnitErr_InvalidParameter;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (initialized_) return kAudioUnitErr_Initialized;
    maxFrames_ = frames;
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, void* data, UInt32* size) {
    if (id == kStandinUnitProperty_CurrentCycle) return getCurrentCycle(data, size);
    std::lock_guard<std::mutex> guard(lock_);
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            return getEnableIO(scope, element, data, size);
        case kAudioOutputUnitProperty_HasIO: {
            AudioStreamBasicDescription unused;
            const UInt32 has = deviceFormat(element == 1, unused) == kAudioHardwareNoError;
            return writeArg(has, data, size);
        }
        case kAudioOutputUnitProperty_CurrentDevice:
            return writeArg(effectiveDevice(), data, size);
        case kAudioOutputUnitProperty_IsRunning:
            return writeArg(static_cast<UInt32>(io_ != nullptr), data, size);
        case kAudioDevicePropertyBufferFrameSize:
            return getBufferFrameSize(data, size);
        case kAudioUnitProperty_StreamFormat:
            return getStreamFormat(scope, element, data, size);
        case kAudioOutputUnitProperty_SetInputCallback:
            return writeArg(inputCallback_, data, size);
        case kAudioUnitProperty_SetRenderCallback:
            return writeArg(renderCallback_, data, size);
        case kStandinUnitProperty_OutputLeadFrames:
            return writeArg(leadFrames_, data, size);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return writeArg(maxFrames_, data, size);
        case kStandinUnitProperty_Counters:
            return writeArg(io_ ? io_->counters() : lastCounters_, data, size);
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUHALUnit::getCurrentCycle(void* data, UInt32* size) const {
    // Asked from inside the input callback: no lock.
    const UnitIO* io = UnitIO::rendering();
    StandinCycleInfo info{};
    if (io == nullptr || io->unit() != self_ || !io->currentCycle(info)) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    return writeArg(info, data, size);
}

OSStatus AUHALUnit::getEnableIO(AudioUnitScope scope, AudioUnitElement element, void* data,
                                UInt32* size) const {
    if (scope == kAudioUnitScope_Input && element == 1) return writeArg(enableInput_, data, size);
    if (scope == kAudioUnitScope_Output && element == 0) return writeArg(enableOutput_, data, size);
    return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
}

OSStatus AUHALUnit::getBufferFrameSize(void* data, UInt32* size) const {
    const AudioObjectID device = effectiveDevice();
    if (device == kAudioObjectUnknown) return kAudioHardwareBadDeviceError;
    if (size == nullptr) return kAudioUnitErr_InvalidParameter;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, size, data);
}

OSStatus AUHALUnit::getStreamFormat(AudioUnitScope scope, AudioUnitElement element, void* data,
                                    UInt32* size) const {
    const bool deviceSide = isDeviceSide(scope, element);
    if (!deviceSide && !isInputClientSide(scope, element) && !isOutputClientSide(scope, element)) {
        return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
    }
    const bool input = element == 1;
    AudioStreamBasicDescription device{};
    const OSStatus rc = deviceFormat(input, device);
    if (deviceSide) return rc != kAudioHardwareNoError ? rc : writeArg(device, data, size);
    if (!(input ? inputFormat_ : outputFormat_) && rc != kAudioHardwareNoError) return rc;
    return writeArg(describeClientFormat(currentClientFormat(input, device)), data, size);
}

}  // namespace halclient
