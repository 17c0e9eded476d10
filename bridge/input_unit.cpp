#include "input_unit.h"

#include <charconv>
#include <cmath>
#include <cstring>

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
OSStatus initErr;
OSStatus startErr;

std::string failure(const char* what, OSStatus status) {
    return std::string(what) + " failed (" + std::to_string(status) + ")";
}

}  // namespace

std::string captureLine(double rate, uint32_t channels) {
    char digits[400];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, std::trunc(rate),
                                   std::chars_format::fixed, 0);
    const std::string rateText = ec == std::errc() ? std::string(digits, end) : "0";
    return "AUHAL capturing QWV at " + rateText + " Hz, hw ch=" + std::to_string(channels) +
           ", 256-frame buffer \u2014 set Mac output to QWV and play.";
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
    // An unreadable, zero, negative or non-finite rate means the stream rate.
    devRate =
        hwFmt.mSampleRate > 0 && std::isfinite(hwFmt.mSampleRate) ? hwFmt.mSampleRate : 48000.0;

    clientFmt = {};
    clientFmt.mSampleRate = devRate;
    clientFmt.mFormatID = kAudioFormatLinearPCM;
    clientFmt.mFormatFlags =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    clientFmt.mBytesPerPacket = 4;
    clientFmt.mFramesPerPacket = 1;
    clientFmt.mBytesPerFrame = 4;
    clientFmt.mChannelsPerFrame = 2;
    clientFmt.mBitsPerChannel = 32;
    clientFmt.mReserved = 0;
    AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                         &clientFmt, sizeof clientFmt);

    prepareCapture(c, clientFmt, out);

    cb = {proc, &c};
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                         &cb, sizeof cb);

    initErr = AudioUnitInitialize(unit);
    if (initErr != 0) return {false, failure("AudioUnitInitialize", initErr)};
    startErr = AudioOutputUnitStart(unit);
    if (startErr != 0) return {false, failure("AudioOutputUnitStart", startErr)};
    return {true, captureLine(devRate, hwFmt.mChannelsPerFrame)};
}
