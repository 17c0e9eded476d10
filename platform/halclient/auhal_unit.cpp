#include "auhal_unit.h"

#include <CoreAudio/AudioHardware.h>

#include <cstring>

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

AudioObjectID AUHALUnit::effectiveDevice() const {
    if (device_ != kAudioObjectUnknown) return device_;
    const AudioObjectPropertyAddress address{
        enableInput_ != 0 && enableOutput_ == 0 ? kAudioHardwarePropertyDefaultInputDevice
                                                : kAudioHardwarePropertyDefaultOutputDevice,
        kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device);
    return device;
}

OSStatus AUHALUnit::deviceFormat(bool input, AudioStreamBasicDescription& out) const {
    const AudioObjectID device = effectiveDevice();
    if (device == kAudioObjectUnknown) return kAudioHardwareBadDeviceError;
    const AudioObjectPropertyAddress streamsAddress{
        kAudioDevicePropertyStreams,
        input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput,
        kAudioObjectPropertyElementMain};
    AudioObjectID stream = kAudioObjectUnknown;
    UInt32 size = sizeof stream;
    OSStatus rc = AudioObjectGetPropertyData(device, &streamsAddress, 0, nullptr, &size, &stream);
    if (rc == kAudioHardwareBadObjectError) return kAudioHardwareBadDeviceError;
    if (rc != kAudioHardwareNoError) return rc;
    if (size < sizeof stream) return kAudioHardwareBadStreamError;
    const AudioObjectPropertyAddress formatAddress{kAudioStreamPropertyVirtualFormat,
                                                   kAudioObjectPropertyScopeGlobal,
                                                   kAudioObjectPropertyElementMain};
    size = sizeof out;
    rc = AudioObjectGetPropertyData(stream, &formatAddress, 0, nullptr, &size, &out);
    if (rc != kAudioHardwareNoError) return rc;
    return size == sizeof out ? kAudioHardwareNoError : kAudioHardwareBadStreamError;
}

ClientFormat AUHALUnit::currentClientFormat(bool input,
                                            const AudioStreamBasicDescription& device) const {
    const std::optional<ClientFormat>& set = input ? inputFormat_ : outputFormat_;
    ClientFormat format = set.value_or(ClientFormat{device.mChannelsPerFrame, false, 0});
    if (!set) format.sampleRate = device.mSampleRate;
    // The unit converts no rates. When the device changes its rate under a running unit, what
    // the unit hands over (input) or takes (output) is at the device's new rate from then on,
    // and its client format says so; a client stops the unit to set a format of its own.
    const double running = io_ ? io_->deviceRate() : 0.0;
    if (running > 0) format.sampleRate = running;
    return format;
}

OSStatus AUHALUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, const void* data, UInt32 size) {
    std::lock_guard<std::mutex> guard(lock_);
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO: {
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
        case kAudioOutputUnitProperty_CurrentDevice: {
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
        case kAudioDevicePropertyBufferFrameSize: {
            const AudioObjectID device = effectiveDevice();
            if (device == kAudioObjectUnknown) return kAudioHardwareBadDeviceError;
            const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            return AudioObjectSetPropertyData(device, &address, 0, nullptr, size, data);
        }
        case kAudioUnitProperty_StreamFormat: {
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
        case kAudioOutputUnitProperty_SetInputCallback:
        case kAudioUnitProperty_SetRenderCallback: {
            AURenderCallbackStruct callback;
            if (!readArg(data, size, callback)) return kAudioUnitErr_InvalidParameter;
            if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
            if (id == kAudioOutputUnitProperty_SetInputCallback) {
                inputCallback_ = callback;
            } else {
                if (scope != kAudioUnitScope_Input || element != 0)
                    return kAudioUnitErr_InvalidScope;
                renderCallback_ = callback;
            }
            return kAudioHardwareNoError;
        }
        case kStandinUnitProperty_OutputLeadFrames: {
            UInt32 lead;
            if (!readArg(data, size, lead)) return kAudioUnitErr_InvalidParameter;
            if (io_) return kAudioUnitErr_CannotDoInCurrentContext;
            leadFrames_ = lead;
            return kAudioHardwareNoError;
        }
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUHALUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, void* data, UInt32* size) {
    if (id == kStandinUnitProperty_CurrentCycle) {  // from inside the input callback: no lock
        const UnitIO* io = UnitIO::rendering();
        StandinCycleInfo info{};
        if (io == nullptr || io->unit() != self_ || !io->currentCycle(info)) {
            return kAudioUnitErr_CannotDoInCurrentContext;
        }
        return writeArg(info, data, size);
    }
    std::lock_guard<std::mutex> guard(lock_);
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            if (scope == kAudioUnitScope_Input && element == 1)
                return writeArg(enableInput_, data, size);
            if (scope == kAudioUnitScope_Output && element == 0) {
                return writeArg(enableOutput_, data, size);
            }
            return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
        case kAudioOutputUnitProperty_HasIO: {
            AudioStreamBasicDescription unused;
            const UInt32 has = deviceFormat(element == 1, unused) == kAudioHardwareNoError;
            return writeArg(has, data, size);
        }
        case kAudioOutputUnitProperty_CurrentDevice:
            return writeArg(effectiveDevice(), data, size);
        case kAudioOutputUnitProperty_IsRunning:
            return writeArg(static_cast<UInt32>(io_ != nullptr), data, size);
        case kAudioDevicePropertyBufferFrameSize: {
            const AudioObjectID device = effectiveDevice();
            if (device == kAudioObjectUnknown) return kAudioHardwareBadDeviceError;
            if (size == nullptr) return kAudioUnitErr_InvalidParameter;
            const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            return AudioObjectGetPropertyData(device, &address, 0, nullptr, size, data);
        }
        case kAudioUnitProperty_StreamFormat: {
            const bool deviceSide = isDeviceSide(scope, element);
            if (!deviceSide && !isInputClientSide(scope, element) &&
                !isOutputClientSide(scope, element)) {
                return element > 1 ? kAudioUnitErr_InvalidElement : kAudioUnitErr_InvalidScope;
            }
            const bool input = element == 1;
            AudioStreamBasicDescription device{};
            const OSStatus rc = deviceFormat(input, device);
            if (deviceSide) return rc != kAudioHardwareNoError ? rc : writeArg(device, data, size);
            if (!(input ? inputFormat_ : outputFormat_) && rc != kAudioHardwareNoError) return rc;
            return writeArg(describeClientFormat(currentClientFormat(input, device)), data, size);
        }
        case kAudioOutputUnitProperty_SetInputCallback:
            return writeArg(inputCallback_, data, size);
        case kAudioUnitProperty_SetRenderCallback:
            return writeArg(renderCallback_, data, size);
        case kStandinUnitProperty_OutputLeadFrames:
            return writeArg(leadFrames_, data, size);
        case kStandinUnitProperty_Counters:
            return writeArg(io_ ? io_->counters() : lastCounters_, data, size);
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUHALUnit::initialize() {
    std::lock_guard<std::mutex> guard(lock_);
    if (initialized_) return kAudioHardwareNoError;
    if (enableInput_ == 0 && enableOutput_ == 0) return kAudioUnitErr_NoConnection;
    const AudioObjectID device = effectiveDevice();
    const AudioObjectPropertyAddress classAddress{kAudioObjectPropertyClass,
                                                  kAudioObjectPropertyScopeGlobal,
                                                  kAudioObjectPropertyElementMain};
    AudioClassID cls = 0;
    UInt32 size = sizeof cls;
    if (device == kAudioObjectUnknown ||
        AudioObjectGetPropertyData(device, &classAddress, 0, nullptr, &size, &cls) !=
            kAudioHardwareNoError ||
        cls != kAudioDeviceClassID) {
        return kAudioHardwareBadDeviceError;
    }
    for (const bool input : {true, false}) {
        if ((input ? enableInput_ : enableOutput_) == 0) continue;
        AudioStreamBasicDescription format{};
        const OSStatus rc = deviceFormat(input, format);
        if (rc != kAudioHardwareNoError) return rc;
        const std::optional<ClientFormat>& set = input ? inputFormat_ : outputFormat_;
        if (set && set->sampleRate != format.mSampleRate) return kAudioUnitErr_FormatNotSupported;
    }
    initialized_ = true;
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::uninitialize() {
    stop();
    std::lock_guard<std::mutex> guard(lock_);
    initialized_ = false;
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (io_) return kAudioHardwareNoError;
    if (!initialized_) return kAudioUnitErr_Uninitialized;
    UnitIOConfig config;
    config.unit = self_;
    config.device = effectiveDevice();
    config.input = enableInput_ != 0;
    config.output = enableOutput_ != 0;
    for (const bool input : {true, false}) {
        if (!(input ? config.input : config.output)) continue;
        AudioStreamBasicDescription device{};
        const OSStatus rc = deviceFormat(input, device);
        if (rc != kAudioHardwareNoError) return rc;  // the device has gone since initialisation
        const std::optional<ClientFormat>& set = input ? inputFormat_ : outputFormat_;
        ClientFormat& format = input ? config.inputFormat : config.outputFormat;
        format = set.value_or(ClientFormat{device.mChannelsPerFrame, false, device.mSampleRate});
    }
    config.inputCallback = inputCallback_;
    config.renderCallback = renderCallback_;
    config.leadFrames = leadFrames_;
    return UnitIO::start(config, io_);
}

OSStatus AUHALUnit::stop() {
    std::unique_ptr<UnitIO> io;
    {
        std::lock_guard<std::mutex> guard(lock_);
        io = std::move(io_);
    }
    if (!io) return kAudioHardwareNoError;
    // Joined without the lock: a callback still running may ask the unit for a property.
    io->stop();
    std::lock_guard<std::mutex> guard(lock_);
    lastCounters_ = io->counters();
    return kAudioHardwareNoError;
}

OSStatus AUHALUnit::render(UInt32 frames, AudioBufferList* data) {
    const UnitIO* io = UnitIO::rendering();
    if (io == nullptr || io->unit() != self_) return kAudioUnitErr_CannotDoInCurrentContext;
    return io->render(frames, data);
}

}  // namespace halclient
