#include "input_unit.h"

#include <cmath>
#include <cstring>

#include "fixed_text.h"

namespace {

// Program-wide, as their addresses are handed to the platform. Written once per set-up.
AudioComponentDescription acd;
AudioUnit unit;
UInt32 enableIn;
UInt32 disableOut;
AudioObjectID dev;
UInt32 bufFrames;
AudioStreamBasicDescription hwFmt;
UInt32 fsz;
Float64 devRate;
AudioStreamBasicDescription clientFmt;
AURenderCallbackStruct cb;
UInt32 maxFrames;
OSStatus initErr;
OSStatus startErr;

std::string failure(const char* what, OSStatus status) {
    return std::string(what) + " failed (" + std::to_string(status) + ")";
}

// A rate as the lines print it: the fraction dropped, never a decimal point.
std::string rateText(double rate) {
    return fixedText(std::trunc(rate), 0);
}

// 32-bit float, 2 channels, non-interleaved, packed, at `rate`.
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

}  // namespace

std::string captureLine(double rate, uint32_t channels) {
    return "AUHAL capturing QWV at " + rateText(rate) + " Hz, hw ch=" + std::to_string(channels) +
           ", 256-frame buffer \u2014 set Mac output to QWV and play.";
}

std::string deviceRateLine(double rate) {
    return "device rate now " + rateText(rate) + " Hz \u2014 " +
           (rate == 48000.0 ? "no conversion" : "converting to 48000 Hz");
}

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

InputUnitResult startInputUnit(AudioObjectID device, Capture& c, AURenderCallback proc,
                               const AudioFormat& out) {
    acd = {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &acd);
    if (component == nullptr) return {false, "no HAL component"};

    unit = nullptr;
    const OSStatus newErr = AudioComponentInstanceNew(component, &unit);
    c.unit = unit;
    if (unit == nullptr) {
        // Nothing to configure: report it as the initialisation that cannot happen.
        initErr = newErr != 0 ? newErr : kAudioUnitErr_FailedInitialization;
        return {false, failure("AudioUnitInitialize", initErr)};
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

    prepareCapture(c, clientFmt, out);

    cb = {proc, &c};
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                         &cb, sizeof cb);

    // The unit renders at most this many frames per call (1156 unless told), and a device
    // buffer may be larger: as many as the capture buffer holds. Taken at initialisation.
    maxFrames = kCaptureFrames;
    AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                         &maxFrames, sizeof maxFrames);

    initErr = AudioUnitInitialize(unit);
    if (initErr != 0) return {false, failure("AudioUnitInitialize", initErr)};
    startErr = AudioOutputUnitStart(unit);
    if (startErr != 0) return {false, failure("AudioOutputUnitStart", startErr)};
    return {true, captureLine(devRate, hwFmt.mChannelsPerFrame)};
}

InputUnitResult restartCaptureAt(Capture& c, double rate, const AudioFormat& out) {
    const AudioStreamBasicDescription client = clientFormatAt(rate);
    CaptureBuffers fresh = makeCaptureBuffers(client, out);  // allocates: before the unit stops
    auto failed = [&](const char* what, OSStatus status) {
        return InputUnitResult{false, "capture at " + rateText(rate) +
                                          " Hz: " + failure(what, status) +
                                          " \u2014 trying again in a second"};
    };
    if (c.unit == nullptr) return failed("AudioComponentInstanceNew", kAudioUnitErr_Uninitialized);
    OSStatus rc = AudioOutputUnitStop(c.unit);
    if (rc != 0) return failed("AudioOutputUnitStop", rc);
    rc = AudioUnitUninitialize(c.unit);
    if (rc != 0) return failed("AudioUnitUninitialize", rc);
    rc = AudioUnitSetProperty(c.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                              &client, sizeof client);
    if (rc != 0) return failed("AudioUnitSetProperty", rc);
    installCaptureBuffers(c, fresh);  // the render callback cannot run now
    rc = AudioUnitInitialize(c.unit);
    if (rc != 0) return failed("AudioUnitInitialize", rc);
    rc = AudioOutputUnitStart(c.unit);
    if (rc != 0) return failed("AudioOutputUnitStart", rc);
    return {true, deviceRateLine(rate)};
}
