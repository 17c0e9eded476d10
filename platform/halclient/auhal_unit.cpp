#include "auhal_unit.h"

#include <CoreAudio/AudioHardware.h>

namespace halclient {

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
    if (size != sizeof out) return kAudioHardwareBadStreamError;
    out.mSampleRate = rateView_.seen(device, out.mSampleRate);
    return kAudioHardwareNoError;
}

ClientFormat AUHALUnit::currentClientFormat(bool input,
                                            const AudioStreamBasicDescription& device) const {
    const std::optional<ClientFormat>& set = input ? inputFormat_ : outputFormat_;
    ClientFormat format = set.value_or(ClientFormat{device.mChannelsPerFrame, false, 0});
    if (!set) format.sampleRate = device.mSampleRate;
    // The unit converts no rates. When the device changes its rate under a running unit, what
    // the unit hands over (input) or takes (output) is at the device's new rate from then on,
    // and its client format says so; a client stops the unit to set a format of its own.
    const double running = io_ ? rateView_.seen(effectiveDevice(), io_->deviceRate()) : 0.0;
    if (running > 0) format.sampleRate = running;
    return format;
}

OSStatus AUHALUnit::initialize() {
    AudioObjectID listened = kAudioObjectUnknown;
    {
        std::lock_guard<std::mutex> guard(lock_);
        listened = effectiveDevice();
    }
    if (listened != kAudioObjectUnknown) listenForRateChanges(listened);  // waits for the server
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
    if (device == listened) rateView_.follow(device);
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
    config.maxFrames = maxFrames_;
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
