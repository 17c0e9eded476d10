#include "bridge/capture/coreaudio/input_unit.h"

#include <cmath>
#include <cstring>

#include "bridge/capture/coreaudio/capture_lines.h"
#include "bridge/capture/coreaudio/core_audio_source.h"

double usableDeviceRate(double reported) {
    return std::isfinite(reported) && reported >= kMinDeviceRate && reported <= kMaxDeviceRate
               ? reported
               : 48000.0;
}

double readDeviceRate(AudioUnit u) {
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    const OSStatus rc = AudioUnitGetProperty(u, kAudioUnitProperty_StreamFormat,
                                             kAudioUnitScope_Input, 1, &format, &size);
    return rc == 0 && size == sizeof format ? format.mSampleRate : 0.0;
}

AudioStreamBasicDescription clientFormatAt(double rate) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    f.mBytesPerPacket = 4;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    f.mReserved = 0;
    return f;
}

std::optional<UnitFailure> CoreAudioSource::startInputUnit(AudioObjectID device, FrameSink& sink,
                                                           AURenderCallback proc) {
    acd = {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &acd);
    if (component == nullptr) return UnitFailure{UnitStep::findComponent, 0};

    unit = nullptr;
    const OSStatus newErr = AudioComponentInstanceNew(component, &unit);
    c.unit = unit;
    if (unit == nullptr) {
        initErr = newErr != 0 ? newErr : kAudioUnitErr_FailedInitialization;
        return UnitFailure{UnitStep::makeInstance, initErr};
    }

    enableIn = 1;
    disableOut = 0;
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                         &enableIn, sizeof enableIn);
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                         &disableOut, sizeof disableOut);

    dev = device;
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                         &dev, sizeof dev);
    bufFrames = 256;
    AudioUnitSetProperty(unit, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                         &bufFrames, sizeof bufFrames);

    std::memset(&hwFmt, 0, sizeof hwFmt);
    fsz = sizeof hwFmt;
    AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &hwFmt,
                         &fsz);
    // An unreadable, zero, negative, non-finite or absurd rate means the stream rate.
    devRate = usableDeviceRate(hwFmt.mSampleRate);

    clientFmt = clientFormatAt(devRate);
    AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                         &clientFmt, sizeof clientFmt);

    prepareCapture(c, clientFmt, sink);

    cb = {proc, &c};
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                         &cb, sizeof cb);

    // The unit renders at most this many frames per call (1156 unless told), and a device
    // buffer may be larger: as many as the capture buffer holds. Taken at initialisation.
    maxFrames = kCaptureFrames;
    AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                         &maxFrames, sizeof maxFrames);

    initErr = AudioUnitInitialize(unit);
    if (initErr != 0) return UnitFailure{UnitStep::initialize, initErr};
    startErr = AudioOutputUnitStart(unit);
    if (startErr != 0) return UnitFailure{UnitStep::start, startErr};
    return std::nullopt;
}

std::string CoreAudioSource::startedLine() const {
    return captureLine(devRate, hwFmt.mChannelsPerFrame);
}

std::optional<UnitFailure> CoreAudioSource::restartCaptureAt(double rate) {
    const AudioStreamBasicDescription client = clientFormatAt(rate);
    // Never set up: there is no unit to move.
    if (c.unit == nullptr || c.sink == nullptr) {
        return UnitFailure{UnitStep::makeInstance, kAudioUnitErr_Uninitialized};
    }
    CaptureBuffers fresh = makeCaptureBuffers(client, c.sink->format);  // before the unit stops
    OSStatus rc = AudioOutputUnitStop(c.unit);
    if (rc != 0) return UnitFailure{UnitStep::stop, rc};
    rc = AudioUnitUninitialize(c.unit);
    if (rc != 0) return UnitFailure{UnitStep::uninitialize, rc};
    rc = AudioUnitSetProperty(c.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                              &client, sizeof client);
    if (rc != 0) return UnitFailure{UnitStep::setFormat, rc};
    installCaptureBuffers(c, fresh);  // the render callback cannot run now
    rc = AudioUnitInitialize(c.unit);
    if (rc != 0) return UnitFailure{UnitStep::initialize, rc};
    rc = AudioOutputUnitStart(c.unit);
    if (rc != 0) return UnitFailure{UnitStep::start, rc};
    return std::nullopt;
}
