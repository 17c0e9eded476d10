// The input unit set-up against a fake output unit that records every call.

#include "bridge/capture/coreaudio/input_unit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/capture/coreaudio/capture_lines.h"
#include "bridge/capture/coreaudio/core_audio_source.h"
#include "bridge/capture/coreaudio/unit_failure.h"
#include "bridge/globals.h"

namespace {

struct Call {
    Call(std::string w, UInt32 i = 0, UInt32 s = 0, UInt32 e = 0, std::vector<uint8_t> d = {})
        : what(std::move(w)), id(i), scope(s), element(e), data(std::move(d)) {}
    std::string what;
    UInt32 id, scope, element;
    std::vector<uint8_t> data;
};

struct FakeUnit {
    bool haveComponent = true;
    bool makeInstance = true;
    AudioStreamBasicDescription deviceFormat{};
    OSStatus formatReadStatus = 0;
    OSStatus initStatus = 0;
    OSStatus startStatus = 0;
    OSStatus stopStatus = 0;
    OSStatus setFormatStatus = 0;
    std::vector<Call> calls;
    AudioComponentDescription asked{};
} gUnit;

int gComponent, gInstance;

template <class T>
std::vector<uint8_t> bytesOf(const T& v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

}  // namespace

extern "C" AudioComponent AudioComponentFindNext(AudioComponent after,
                                                 const AudioComponentDescription* desc) {
    EXPECT_EQ(after, nullptr);
    gUnit.asked = *desc;
    gUnit.calls.push_back({"find"});
    return gUnit.haveComponent ? reinterpret_cast<AudioComponent>(&gComponent) : nullptr;
}
extern "C" OSStatus AudioComponentInstanceNew(AudioComponent component,
                                              AudioComponentInstance* out) {
    EXPECT_EQ(component, reinterpret_cast<AudioComponent>(&gComponent));
    EXPECT_EQ(*out, nullptr);
    gUnit.calls.push_back({"new"});
    *out = gUnit.makeInstance ? reinterpret_cast<AudioUnit>(&gInstance) : nullptr;
    return gUnit.makeInstance ? 0 : -108;
}
extern "C" OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         const void* data, UInt32 size) {
    EXPECT_EQ(unit, reinterpret_cast<AudioUnit>(&gInstance));
    const auto* p = static_cast<const uint8_t*>(data);
    gUnit.calls.push_back({"set", id, scope, element, std::vector<uint8_t>(p, p + size)});
    return id == kAudioUnitProperty_StreamFormat ? gUnit.setFormatStatus : 0;
}
extern "C" OSStatus AudioUnitGetProperty(AudioUnit, AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element, void* data, UInt32* size) {
    gUnit.calls.push_back({"get", id, scope, element, std::vector<uint8_t>(*size)});
    EXPECT_EQ(*size, 40u);
    if (gUnit.formatReadStatus != 0) return gUnit.formatReadStatus;
    std::memcpy(data, &gUnit.deviceFormat, sizeof gUnit.deviceFormat);
    return 0;
}
extern "C" OSStatus AudioUnitInitialize(AudioUnit) {
    gUnit.calls.push_back({"initialize"});
    return gUnit.initStatus;
}
extern "C" OSStatus AudioOutputUnitStart(AudioUnit) {
    gUnit.calls.push_back({"start"});
    return gUnit.startStatus;
}
extern "C" OSStatus AudioOutputUnitStop(AudioUnit) {
    gUnit.calls.push_back({"stop"});
    return gUnit.stopStatus;
}
extern "C" OSStatus AudioUnitUninitialize(AudioUnit) {
    gUnit.calls.push_back({"uninitialize"});
    return 0;
}

namespace {

OSStatus dummyProc(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                   AudioBufferList*) {
    return 0;
}

AudioStreamBasicDescription deviceFormat(double rate, UInt32 channels) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = d.mBytesPerFrame = 4 * channels;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = 32;
    return d;
}

class InputUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        gUnit = {};
        gUnit.deviceFormat = deviceFormat(48000, 2);
    }
    // What the source prints for a set-up or a move to a new rate.
    struct Outcome {
        bool running;
        std::string line;
    };
    Outcome start() {
        const auto failure = source.startInputUnit(77, sink, dummyProc);
        return failure ? Outcome{false, unitFailureLine(*failure)}
                       : Outcome{true, source.startedLine()};
    }
    Outcome restartAt(double rate) {
        const auto failure = source.restartCaptureAt(rate);
        return failure ? Outcome{false, restartFailureLine(rate, *failure)}
                       : Outcome{true, deviceRateLine(rate)};
    }
    SendQueue queue;
    FramePool pool;
    AudioFormat out = *makeOutputFormat();
    FrameSink sink{queue, pool, out};
    Capture c;
    CoreAudioSource source{c, [](std::string_view) {}};
};

TEST_F(InputUnit, ConfiguresTheUnitInTheFixedOrderWithTheFixedValues) {
    const auto r = start();
    EXPECT_TRUE(r.running);
    EXPECT_EQ(r.line,
              "AUHAL capturing QWV at 48000 Hz, hw ch=2, 256-frame buffer \u2014 set Mac output "
              "to QWV and play.");
    EXPECT_EQ(gUnit.asked.componentType, UInt32('auou'));
    EXPECT_EQ(gUnit.asked.componentSubType, UInt32('ahal'));
    EXPECT_EQ(gUnit.asked.componentManufacturer, UInt32('appl'));
    EXPECT_EQ(gUnit.asked.componentFlags, 0u);
    EXPECT_EQ(gUnit.asked.componentFlagsMask, 0u);

    AudioStreamBasicDescription client = deviceFormat(48000, 2);
    client.mFormatFlags = 41;
    client.mBytesPerPacket = client.mBytesPerFrame = 4;
    const AURenderCallbackStruct cb{dummyProc, &c};
    const std::vector<Call> expected = {
        {"find"},
        {"new"},
        {"set", 2003, 1, 1, bytesOf(UInt32{1})},
        {"set", 2003, 2, 0, bytesOf(UInt32{0})},
        {"set", 2000, 0, 0, bytesOf(UInt32{77})},
        {"set", 'fsiz', 0, 0, bytesOf(UInt32{256})},
        {"get", 8, 1, 1, std::vector<uint8_t>(40)},
        {"set", 8, 2, 1, bytesOf(client)},
        {"set", 2005, 0, 0, bytesOf(cb)},
        {"set", 14, 0, 0, bytesOf(UInt32{8192})},  // the most frames per render: before init
        {"initialize"},
        {"start"},
    };
    ASSERT_EQ(gUnit.calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(gUnit.calls[i].what, expected[i].what) << i;
        EXPECT_EQ(gUnit.calls[i].id, expected[i].id) << i;
        EXPECT_EQ(gUnit.calls[i].scope, expected[i].scope) << i;
        EXPECT_EQ(gUnit.calls[i].element, expected[i].element) << i;
        EXPECT_EQ(gUnit.calls[i].data, expected[i].data) << i;
    }

    EXPECT_EQ(c.unit, reinterpret_cast<AudioUnit>(&gInstance));
    ASSERT_TRUE(c.inFmt && c.conv && c.inBuf && c.abl);
    EXPECT_EQ(c.inFmt->sampleRate(), 48000.0);
    EXPECT_TRUE(c.conv->isPassThrough());
    EXPECT_EQ(c.inBuf->frameCapacity(), 8192u);
    EXPECT_EQ(c.abl->mNumberBuffers, 2u);
    EXPECT_EQ(c.lastCbNs, 0u);
}

TEST_F(InputUnit, TheDeviceRateIsKeptAndItsOwnChannelCountReported) {
    gUnit.deviceFormat = deviceFormat(44100, 6);
    auto r = start();
    EXPECT_EQ(r.line.substr(0, 46), "AUHAL capturing QWV at 44100 Hz, hw ch=6, 256-");
    EXPECT_EQ(c.inFmt->sampleRate(), 44100.0);
    EXPECT_EQ(c.inFmt->channelCount(), 2u);  // always 2 on the client side
    EXPECT_FALSE(c.conv->isPassThrough());
    AudioStreamBasicDescription client;
    std::memcpy(&client, gUnit.calls[7].data.data(), sizeof client);
    EXPECT_EQ(client.mSampleRate, 44100.0);

    for (double bad : {0.0, -1.0, double(NAN), double(INFINITY)}) {
        SetUp();
        gUnit.deviceFormat = deviceFormat(bad, 1);
        r = start();
        EXPECT_TRUE(r.line.starts_with("AUHAL capturing QWV at 48000 Hz, hw ch=1,")) << bad;
        EXPECT_EQ(c.inFmt->sampleRate(), 48000.0);
    }

    SetUp();
    gUnit.formatReadStatus = -10879;  // unreadable: zeros, so 48000 and 0 channels
    r = start();
    EXPECT_TRUE(r.running);
    EXPECT_TRUE(r.line.starts_with("AUHAL capturing QWV at 48000 Hz, hw ch=0,"));

    SetUp();
    gUnit.deviceFormat = deviceFormat(88200.9, 2);  // the fraction is dropped
    EXPECT_TRUE(start().line.starts_with("AUHAL capturing QWV at 88200 Hz,"));
}

TEST_F(InputUnit, EachExaminedFailureGivesItsLine) {
    gUnit.haveComponent = false;
    auto r = start();
    EXPECT_FALSE(r.running);
    EXPECT_EQ(r.line, "no HAL component");
    EXPECT_EQ(gUnit.calls.size(), 1u);

    SetUp();
    gUnit.initStatus = -10875;
    r = start();
    EXPECT_FALSE(r.running);
    EXPECT_EQ(r.line, "AudioUnitInitialize failed (-10875)");
    EXPECT_EQ(gUnit.calls.back().what, "initialize");  // never started

    SetUp();
    gUnit.startStatus = 560227702;
    r = start();
    EXPECT_FALSE(r.running);
    EXPECT_EQ(r.line, "AudioOutputUnitStart failed (560227702)");

    SetUp();
    gUnit.makeInstance = false;  // no instance: nothing to configure, reported as init failure
    r = start();
    EXPECT_FALSE(r.running);
    EXPECT_EQ(r.line, "AudioUnitInitialize failed (-108)");
    EXPECT_EQ(gUnit.calls.size(), 2u);
}

// A rate no device runs at never reaches the converter: set-up asked for gigabytes at 1 Hz.
TEST_F(InputUnit, AbsurdDeviceRatesAreTakenAs48000) {
    for (double bad : {1.0, 7999.9, 768000.5, 1e9, -44100.0, double(NAN), double(INFINITY)}) {
        SetUp();
        gUnit.deviceFormat = deviceFormat(bad, 2);
        const auto r = start();
        EXPECT_TRUE(r.line.starts_with("AUHAL capturing QWV at 48000 Hz, hw ch=2,")) << bad;
        ASSERT_TRUE(c.inFmt && c.conv && c.outBuf) << bad;
        EXPECT_EQ(c.inFmt->sampleRate(), 48000.0) << bad;
        EXPECT_TRUE(c.conv->isPassThrough()) << bad;
        EXPECT_EQ(c.outBuf->storageFrames(), 8192u + 32u) << bad;
        EXPECT_EQ(usableDeviceRate(bad), 48000.0) << bad;
    }
    for (double good : {8000.0, 44100.0, 768000.0}) {
        SetUp();
        gUnit.deviceFormat = deviceFormat(good, 2);
        start();
        EXPECT_EQ(c.inFmt->sampleRate(), good);
        EXPECT_EQ(c.outBuf->storageFrames(),
                  static_cast<uint32_t>(48000.0 / good * 8192) + 32);  // 49184 at 8000 Hz
    }
}

TEST_F(InputUnit, FollowingANewRateRestartsTheUnitWithNewConverterAndBuffers) {
    ASSERT_TRUE(start().running);
    for (double rate : {44100.0, 192000.0, 8000.0, 48000.0}) {
        gUnit.calls.clear();
        const auto r = restartAt(rate);
        EXPECT_TRUE(r.running);
        EXPECT_EQ(r.line, deviceRateLine(rate));
        const std::vector<std::string> order = {"stop", "uninitialize", "set", "initialize",
                                                "start"};
        ASSERT_EQ(gUnit.calls.size(), order.size());
        for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(gUnit.calls[i].what, order[i]);
        AudioStreamBasicDescription client;
        ASSERT_EQ(gUnit.calls[2].data.size(), sizeof client);
        std::memcpy(&client, gUnit.calls[2].data.data(), sizeof client);
        EXPECT_EQ(gUnit.calls[2].id, UInt32{kAudioUnitProperty_StreamFormat});
        EXPECT_EQ(gUnit.calls[2].scope, UInt32{kAudioUnitScope_Output});
        EXPECT_EQ(gUnit.calls[2].element, 1u);
        EXPECT_EQ(client.mSampleRate, rate);
        EXPECT_EQ(client.mFormatFlags, 41u);
        EXPECT_EQ(client.mChannelsPerFrame, 2u);
        ASSERT_TRUE(c.inFmt && c.conv && c.inBuf && c.outBuf);
        EXPECT_EQ(c.inFmt->sampleRate(), rate);
        EXPECT_EQ(c.conv->inputFormat().sampleRate(), rate);
        EXPECT_EQ(c.conv->isPassThrough(), rate == 48000.0);
        EXPECT_EQ(c.inBuf->format().sampleRate(), rate);
        EXPECT_EQ(c.inBuf->frameCapacity(), 8192u);
        EXPECT_EQ(c.outBuf->storageFrames(), converterOutputCapacity(48000.0, rate, 8192));
        EXPECT_EQ(c.abl->mNumberBuffers, 2u);
    }
    EXPECT_EQ(deviceRateLine(44100.0), "device rate now 44100 Hz \u2014 converting to 48000 Hz");
    EXPECT_EQ(deviceRateLine(88200.7), "device rate now 88200 Hz \u2014 converting to 48000 Hz");
    EXPECT_EQ(deviceRateLine(48000.0), "device rate now 48000 Hz \u2014 no conversion");

    // A failed step: its line with the status; the capture state is left whole, and the next
    // attempt goes through every step again.
    gUnit.calls.clear();
    gUnit.setFormatStatus = -10868;
    auto r = restartAt(96000.0);
    EXPECT_FALSE(r.running);
    EXPECT_EQ(r.line,
              "capture at 96000 Hz: AudioUnitSetProperty failed (-10868) \u2014 trying again in "
              "a second");
    EXPECT_EQ(gUnit.calls.back().what, "set");
    EXPECT_EQ(c.inFmt->sampleRate(), 48000.0);  // the old state, untouched
    gUnit.setFormatStatus = 0;
    gUnit.startStatus = -1;
    r = restartAt(96000.0);
    EXPECT_EQ(r.line,
              "capture at 96000 Hz: AudioOutputUnitStart failed (-1) \u2014 trying again in a "
              "second");
    gUnit.startStatus = 0;
    gUnit.calls.clear();
    r = restartAt(96000.0);
    EXPECT_TRUE(r.running);
    EXPECT_EQ(gUnit.calls.size(), 5u);
    EXPECT_EQ(c.inFmt->sampleRate(), 96000.0);
}

}  // namespace
