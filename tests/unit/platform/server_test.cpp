// The audio server and the HAL client library together in one process: the object model as
// clients see it, notifications, the configuration change through the host, the output unit
// in both directions, and clients that misbehave or vanish.
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>
#include <gtest/gtest.h>
#include <standin/audio_server.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "eventually.h"
#include "ipc/protocol.h"
#include "ipc/socket_io.h"
#include "opaque_null.h"
#include "server_harness.h"

using namespace std::chrono_literals;

namespace {

AudioObjectPropertyAddress addr(AudioObjectPropertySelector s,
                                AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {s, scope, kAudioObjectPropertyElementMain};
}

template <class T>
OSStatus get(AudioObjectID object, AudioObjectPropertySelector selector, T& value,
             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    const auto a = addr(selector, scope);
    UInt32 size = sizeof value;
    return AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &value);
}

template <class T>
OSStatus set(AudioObjectID object, AudioObjectPropertySelector selector, const T& value) {
    const auto a = addr(selector);
    return AudioObjectSetPropertyData(object, &a, 0, nullptr, sizeof value, &value);
}

std::string text(AudioObjectID object, AudioObjectPropertySelector selector) {
    CFStringRef s = nullptr;
    if (get(object, selector, s) != 0 || s == nullptr) return "(none)";
    std::string t = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
    CFRelease(s);
    return t;
}

AudioUnit newUnit(bool input, bool output) {
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &desc), &unit), 0);
    const UInt32 in = input, out = output;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input,
                                   1, &in, 4),
              0);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output,
                                   0, &out, 4),
              0);
    return unit;
}

AudioStreamBasicDescription floatFormat(double rate, UInt32 channels, bool interleaved) {
    AudioStreamBasicDescription f{rate,
                                  kAudioFormatLinearPCM,
                                  kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                  4,
                                  1,
                                  4,
                                  channels,
                                  32,
                                  0};
    if (interleaved) {
        f.mBytesPerFrame = f.mBytesPerPacket = 4 * channels;
    } else {
        f.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    }
    return f;
}

// A capture client like the bridge's: input only, the client format of `channels` floats.
struct Capture {
    AudioUnit unit = nullptr;
    UInt32 channels = 2;
    bool interleaved = false;
    std::atomic<int> calls{0};
    std::atomic<int> badFrameCounts{0};
    std::atomic<int> renderErrors{0};
    std::atomic<OSStatus> lastRenderError{0};
    std::atomic<int> restarts{0};
    std::atomic<double> lastSampleTime{-1};
    std::atomic<int> discontinuities{0};
    std::atomic<float> last[4] = {};
    UInt32 expectFrames = 256;
    float buffers[4][4096];

    static OSStatus callback(void* refCon, AudioUnitRenderActionFlags* flags,
                             const AudioTimeStamp* stamp, UInt32 bus, UInt32 frames,
                             AudioBufferList*) {
        auto& c = *static_cast<Capture*>(refCon);
        if (frames != c.expectFrames) c.badFrameCounts++;
        const double previous = c.lastSampleTime.load();
        StandinCycleInfo cycle{};
        UInt32 size = sizeof cycle;
        AudioUnitGetProperty(c.unit, kStandinUnitProperty_CurrentCycle, kAudioUnitScope_Global, 0,
                             &cycle, &size);
        if (cycle.mFirstAfterStart != 0 && c.calls > 0) c.restarts++;
        if (previous >= 0 && stamp->mSampleTime != previous + frames &&
            cycle.mFirstAfterStart == 0) {
            c.discontinuities++;
        }
        c.lastSampleTime = stamp->mSampleTime;
        struct {
            UInt32 count;
            AudioBuffer b[4];
        } list{};
        list.count = c.interleaved ? 1 : c.channels;
        for (UInt32 i = 0; i < list.count; ++i) {
            list.b[i] = {c.interleaved ? c.channels : 1,
                         frames * 4 * (c.interleaved ? c.channels : 1), c.buffers[i]};
        }
        const OSStatus rendered = AudioUnitRender(c.unit, flags, stamp, bus, frames,
                                                  reinterpret_cast<AudioBufferList*>(&list));
        if (rendered != 0) {
            c.lastRenderError = rendered;
            c.renderErrors++;
        } else {
            for (UInt32 ch = 0; ch < c.channels; ++ch) {
                c.last[ch] = c.interleaved ? c.buffers[0][(frames - 1) * c.channels + ch]
                                           : c.buffers[ch][frames - 1];
            }
        }
        c.calls++;
        return 0;
    }

    OSStatus start(AudioObjectID device) {
        unit = newUnit(true, false);
        OSStatus rc = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                           kAudioUnitScope_Global, 0, &device, 4);
        AudioStreamBasicDescription hw{};
        UInt32 size = sizeof hw;
        AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &hw,
                             &size);
        const auto client = floatFormat(hw.mSampleRate, channels, interleaved);
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                             &client, sizeof client);
        AURenderCallbackStruct cb{callback, this};
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, &cb, sizeof cb);
        if (rc == 0) rc = AudioUnitInitialize(unit);
        if (rc == 0) rc = AudioOutputUnitStart(unit);
        return rc;
    }
    ~Capture() {
        if (unit != nullptr) AudioComponentInstanceDispose(unit);
    }
};

// An app that plays constant levels, one per client channel.
struct Player {
    AudioUnit unit = nullptr;
    float levels[2] = {0.25f, 0.5f};

    static OSStatus render(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                           UInt32 frames, AudioBufferList* data) {
        auto& p = *static_cast<Player*>(refCon);
        for (UInt32 b = 0; b < data->mNumberBuffers && b < 2; ++b) {
            auto* out = static_cast<float*>(data->mBuffers[b].mData);
            for (UInt32 i = 0; i < frames; ++i) out[i] = p.levels[b];
        }
        return 0;
    }
    OSStatus start(AudioObjectID device) {
        unit = newUnit(false, true);
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                             0, &device, 4);
        Float64 rate = 0;
        get(device, kAudioDevicePropertyNominalSampleRate, rate);
        const auto client = floatFormat(rate, 2, false);
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                             &client, sizeof client);
        AURenderCallbackStruct cb{render, this};
        AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                             &cb, sizeof cb);
        OSStatus rc = AudioUnitInitialize(unit);
        if (rc == 0) rc = AudioOutputUnitStart(unit);
        return rc;
    }
    ~Player() {
        if (unit != nullptr) AudioComponentInstanceDispose(unit);
    }
};

TEST(AudioServerTest, PublishesDevicesStreamsAndNamesUnderItsOwnObjectIDs) {
    ServerHarness harness;
    const AudioObjectID device = deviceNamed("Fake Loopback");
    ASSERT_NE(device, 0u);
    EXPECT_NE(device, fakeplugin::kDevice);
    EXPECT_EQ(text(device, kAudioDevicePropertyDeviceUID), "FAKE_UID");

    AudioObjectID owner = 0, plugInOwner = 0;
    ASSERT_EQ(get(device, kAudioObjectPropertyOwner, owner), 0);
    EXPECT_NE(owner, kAudioObjectPlugInObject);
    ASSERT_EQ(get(owner, kAudioObjectPropertyOwner, plugInOwner), 0);
    EXPECT_EQ(plugInOwner, kAudioObjectSystemObject);
    EXPECT_EQ(text(owner, kAudioObjectPropertyManufacturer), "Fake Labs");

    AudioObjectID input = 0;
    ASSERT_EQ(get(device, kAudioDevicePropertyStreams, input, kAudioObjectPropertyScopeInput), 0);
    EXPECT_NE(input, fakeplugin::kInputStream);
    AudioObjectID streamOwner = 0;
    ASSERT_EQ(get(input, kAudioObjectPropertyOwner, streamOwner), 0);
    EXPECT_EQ(streamOwner, device);
    AudioStreamBasicDescription format{};
    ASSERT_EQ(get(input, kAudioStreamPropertyVirtualFormat, format), 0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);

    // The system object: its device list, a UID translated with a string qualifier.
    for (const char* uid : {"FAKE_UID", "NO_SUCH_UID"}) {
        CFStringRef q = CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8);
        const auto a = addr(kAudioHardwarePropertyTranslateUIDToDevice);
        AudioObjectID found = 99;
        UInt32 size = sizeof found;
        ASSERT_EQ(
            AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, sizeof q, &q, &size, &found),
            0);
        EXPECT_EQ(found, std::strcmp(uid, "FAKE_UID") == 0 ? device : 0u) << uid;
        CFRelease(q);
    }
    AudioClassID cls = 0;
    ASSERT_EQ(get(kAudioObjectSystemObject, kAudioObjectPropertyClass, cls), 0);
    EXPECT_EQ(cls, kAudioSystemObjectClassID);
    AudioObjectID defaultOut = 0;
    ASSERT_EQ(get(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, defaultOut),
              0);
    EXPECT_EQ(defaultOut, device);

    // Failures come back as the plug-in's statuses; a short buffer for the list gets what fits.
    UInt32 u = 0;
    EXPECT_EQ(get(9999, kAudioObjectPropertyClass, u), kAudioHardwareBadObjectError);
    EXPECT_EQ(get(device, 'zzzz', u), kAudioHardwareUnknownPropertyError);
    const auto devices = addr(kAudioHardwarePropertyDevices);
    EXPECT_TRUE(AudioObjectHasProperty(kAudioObjectSystemObject, &devices));
    EXPECT_FALSE(AudioObjectHasProperty(9999, &devices));
    Boolean settable = false;
    const auto rate = addr(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectIsPropertySettable(device, &rate, &settable), 0);
    EXPECT_TRUE(settable);
}

struct Notified {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<AudioObjectPropertySelector> selectors;

    static OSStatus proc(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress* a,
                         void* me) {
        auto& n = *static_cast<Notified*>(me);
        std::lock_guard<std::mutex> g(n.lock);
        for (UInt32 i = 0; i < count; ++i) n.selectors.push_back(a[i].mSelector);
        n.cv.notify_all();
        return 0;
    }
    bool waitFor(AudioObjectPropertySelector s) {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, 3s, [&] {
            return std::find(selectors.begin(), selectors.end(), s) != selectors.end();
        });
    }
};

TEST(AudioServerTest, PropertyChangesOfThePlugInReachListeners) {
    ServerHarness harness;
    const AudioObjectID device = deviceNamed("Fake Loopback");
    Notified notified;
    const auto any = AudioObjectPropertyAddress{kAudioObjectPropertySelectorWildcard,
                                                kAudioObjectPropertyScopeWildcard,
                                                kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &any, Notified::proc, &notified), 0);
    std::this_thread::sleep_for(50ms);  // the registration travels on the listener connection
    ASSERT_EQ(set(device, kAudioDevicePropertyBufferFrameSize, UInt32{128}), 0);
    EXPECT_TRUE(notified.waitFor(kAudioDevicePropertyBufferFrameSize));
    UInt32 frames = 0;
    ASSERT_EQ(get(device, kAudioDevicePropertyBufferFrameSize, frames), 0);
    EXPECT_EQ(frames, 128u);
    // A conversion takes the caller's value in with the call and hands the result back in it.
    const AudioObjectPropertyAddress convert{kAudioLevelControlPropertyConvertScalarToDecibels,
                                             kAudioObjectPropertyScopeGlobal, 0};
    Float32 x = 1.5f;
    UInt32 size = sizeof x;
    ASSERT_EQ(AudioObjectGetPropertyData(device, &convert, 0, nullptr, &size, &x), 0);
    EXPECT_EQ(x, 3.0f);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &any, Notified::proc, &notified), 0);
    EXPECT_NE(AudioObjectRemovePropertyListener(device, &any, Notified::proc, &notified), 0);
}

// Under both choices of how a change meets running IO: inside StopIO and StartIO, or while IO
// keeps running (the plug-in's new seed then restarts the cycle's timeline).
class RateChangeTest : public ::testing::TestWithParam<bool> {};

TEST_P(RateChangeTest, ARateChangeReachesThePlugInThroughTheHostAndIORestarts) {
    setenv("QW_STANDIN_UNIT_FORMAT_LAG_MS", "1500", 1);  // read by the unit when it is made
    audioserver::ServerBehaviour behaviour;
    behaviour.rateChangeWhileRunning = GetParam();
    ServerHarness harness({}, behaviour);
    const AudioObjectID device = deviceNamed("Fake Loopback");
    Notified notified;
    const auto rateAddress = addr(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &rateAddress, Notified::proc, &notified), 0);
    Capture capture;
    ASSERT_EQ(capture.start(device), 0);
    unsetenv("QW_STANDIN_UNIT_FORMAT_LAG_MS");
    ASSERT_TRUE(eventually([&] { return capture.calls > 5; }));
    EXPECT_EQ(fakeplugin::startCount(), 1);
    auto unitRates = [&] {
        std::vector<double> rates;
        for (const AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
            AudioStreamBasicDescription format{};
            UInt32 size = sizeof format;
            EXPECT_EQ(AudioUnitGetProperty(capture.unit, kAudioUnitProperty_StreamFormat, scope, 1,
                                           &format, &size),
                      0);
            rates.push_back(format.mSampleRate);
        }
        return rates;
    };

    ASSERT_EQ(set(device, kAudioDevicePropertyNominalSampleRate, Float64{44100.0}), 0);
    // The host carried the change out before answering: the device reports it already.
    Float64 rate = 0;
    ASSERT_EQ(get(device, kAudioDevicePropertyNominalSampleRate, rate), 0);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(fakeplugin::performedActions(), std::vector<UInt64>{44100});
    EXPECT_EQ(fakeplugin::stopCount(), GetParam() ? 0 : 1);
    EXPECT_EQ(fakeplugin::startCount(), GetParam() ? 1 : 2);
    EXPECT_TRUE(notified.waitFor(kAudioDevicePropertyNominalSampleRate));
    // Like the platform's, the unit catches up with the change only after the notification (here
    // 1.5 s after): a client that asks at once still sees the old rate on both sides.
    EXPECT_EQ(unitRates(), (std::vector<double>{48000.0, 48000.0}));

    const int before = capture.calls;
    ASSERT_TRUE(eventually([&] { return capture.calls > before + 5; }));
    EXPECT_EQ(capture.restarts, 1);
    EXPECT_EQ(capture.discontinuities, 0);
    StandinDeviceIOStats stats{};
    ASSERT_EQ(StandinGetDeviceIOStats(device, false, &stats), 0);
    EXPECT_EQ(stats.mSampleRate, 44100.0);
    EXPECT_EQ(stats.mRunning, 1u);

    // The unit that kept running hands over the device's new rate, and once caught up both of
    // its formats on the input element say so; the client stops it to set its own format at the
    // new rate.
    EXPECT_TRUE(eventually(
        [&] {
            return unitRates() == std::vector<double>{44100.0, 44100.0};
        },
        10000ms));
    const auto client = floatFormat(44100.0, 2, false);
    EXPECT_EQ(AudioUnitSetProperty(capture.unit, kAudioUnitProperty_StreamFormat,
                                   kAudioUnitScope_Output, 1, &client, sizeof client),
              kAudioUnitErr_CannotDoInCurrentContext);
    ASSERT_EQ(AudioOutputUnitStop(capture.unit), 0);
    ASSERT_EQ(AudioUnitUninitialize(capture.unit), 0);
    ASSERT_EQ(AudioUnitSetProperty(capture.unit, kAudioUnitProperty_StreamFormat,
                                   kAudioUnitScope_Output, 1, &client, sizeof client),
              0);
    ASSERT_EQ(AudioUnitInitialize(capture.unit), 0);
    ASSERT_EQ(AudioOutputUnitStart(capture.unit), 0);
    const int afterRestart = capture.calls;
    ASSERT_TRUE(eventually([&] { return capture.calls > afterRestart + 5; }));
    EXPECT_EQ(capture.renderErrors, 0);

    // A rate the plug-in does not offer is refused by the plug-in and changes nothing.
    EXPECT_EQ(set(device, kAudioDevicePropertyNominalSampleRate, Float64{22050.0}),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(fakeplugin::performedActions().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AudioServerTest, RateChangeTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "WhileRunning" : "Restart"; });

size_t linesWith(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.find(text) != std::string::npos;
    }));
}

// Each rule the server holds plug-ins to, broken on purpose by the fake plug-in, is reported; a
// device whose clock period is too short is not taken at all. (Every other test's harness fails
// on any report, so the plug-in that keeps the rules raises none.)
TEST(AudioServerTest, APlugInBreakingTheDocumentedRulesIsReportedAtEachOne) {
    {
        fakeplugin::Config config;
        config.zeroTimeStampPeriod = 8192;
        ServerHarness harness(config, {}, true);
        EXPECT_EQ(harness.server().deviceCount(), 0u);
        harness.stop();
        EXPECT_EQ(harness.violations(),
                  std::vector<std::string>{"skipped device \"Fake Loopback\" of fake: zero time "
                                           "stamp period 8192, below the least allowed 10923"});
    }
    {
        fakeplugin::Config config;
        config.ignoresQualifiers = true;
        config.translatesAnyUID = true;
        ServerHarness harness(config, {}, true);
        EXPECT_EQ(harness.server().deviceCount(), 1u);
        harness.stop();
        const auto& lines = harness.violations();
        EXPECT_EQ(lines.size(), 5u);
        // The plug-in object owns a device: not a plug-in, not a stream. The device owns streams.
        EXPECT_EQ(linesWith(lines,
                            "object 1 of fake: OwnedObjects qualified by class 'aplg' gave "
                            "[7], not []"),
                  1u);
        EXPECT_EQ(linesWith(lines, "object 1 of fake: OwnedObjects qualified by class 'astr'"), 1u);
        EXPECT_EQ(linesWith(lines,
                            "object 7 of fake: OwnedObjects qualified by class 'adev' gave "
                            "[8, 9], not []"),
                  1u);
        EXPECT_EQ(linesWith(lines, "object 7 of fake: OwnedObjects qualified by class 'aplg'"), 1u);
        EXPECT_EQ(linesWith(lines,
                            "TranslateUIDToDevice of a UID that names no device gave 7, "
                            "not kAudioObjectUnknown"),
                  1u);
    }
    for (bool whileRunning : {false, true}) {
        // One seed for every timeline: a rate change (or a restart) keeps the seed but moves the
        // clock, which the time stamp check sees.
        fakeplugin::Config config;
        config.oneSeed = true;
        audioserver::ServerBehaviour behaviour;
        behaviour.rateChangeWhileRunning = whileRunning;
        ServerHarness harness(config, behaviour, true);
        const AudioObjectID device = deviceNamed("Fake Loopback");
        Capture capture;
        ASSERT_EQ(capture.start(device), 0);
        std::this_thread::sleep_for(700ms);  // beyond two clock periods (250 ms each)
        // A lower rate: the same periods since the old anchor end earlier, or are fewer.
        ASSERT_EQ(set(device, kAudioDevicePropertyNominalSampleRate, Float64{44100.0}), 0);
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(AudioOutputUnitStop(capture.unit), 0);
        harness.stop();
        EXPECT_GE(linesWith(harness.violations(),
                            "of the same seed: not a whole number of "
                            "periods on, or a step back"),
                  1u)
            << whileRunning;
    }
}

// The open behaviours, each way: WillDoIOOperation is asked once per operation as IO starts and
// never in the cycle; the cycle's begin and end operations are sent or not; WriteMix runs in
// every cycle or only while a client plays.
TEST(AudioServerTest, EachOpenBehaviourDoesWhatItsChoiceSays) {
    for (bool cycleOperations : {false, true}) {
        for (bool mixWhileIdle : {true, false}) {
            audioserver::ServerBehaviour behaviour;
            behaviour.cycleOperations = cycleOperations;
            behaviour.writeMixWhileIdle = mixWhileIdle;
            ServerHarness harness({}, behaviour);
            const AudioObjectID device = deviceNamed("Fake Loopback");
            auto writes = [] {
                const auto log = fakeplugin::ioLog();
                return std::count_if(log.begin(), log.end(), [](const auto& r) {
                    return r.operation == kAudioServerPlugInIOOperationWriteMix;
                });
            };
            Capture capture;
            ASSERT_EQ(capture.start(device), 0);
            ASSERT_TRUE(eventually([&] { return capture.calls > 10; }));
            EXPECT_EQ(writes() > 0, mixWhileIdle);
            Player player;
            ASSERT_EQ(player.start(device), 0);
            ASSERT_TRUE(eventually([&] { return writes() > 10; }));
            ASSERT_EQ(AudioOutputUnitStop(player.unit), 0);
            ASSERT_EQ(AudioOutputUnitStop(capture.unit), 0);
            ASSERT_TRUE(eventually([] { return fakeplugin::stopCount() == 1; }));
            const auto counts = fakeplugin::operationCounts();
            EXPECT_EQ(counts.willDoAsked, 2);  // 'read' and 'rite', once
            EXPECT_EQ(counts.willDoAskedOnIOThread, 0);
            EXPECT_EQ(counts.cycleBegins > 10, cycleOperations);
            EXPECT_EQ(counts.cycleBegins, counts.cycleEnds);
        }
    }
}

TEST(AudioServerTest, TheInputUnitCallsBackOncePerCycleWithTheCycleFrameCount) {
    fakeplugin::Config config;
    config.frameSize = 128;
    ServerHarness harness(config);
    const AudioObjectID device = deviceNamed("Fake Loopback");
    Capture capture;
    capture.expectFrames = 128;
    ASSERT_EQ(capture.start(device), 0);
    UInt32 running = 0, size = 4;
    ASSERT_EQ(AudioUnitGetProperty(capture.unit, kAudioOutputUnitProperty_IsRunning,
                                   kAudioUnitScope_Global, 0, &running, &size),
              0);
    EXPECT_EQ(running, 1u);
    ASSERT_TRUE(eventually([&] { return capture.calls >= 40; }));
    EXPECT_EQ(capture.badFrameCounts, 0);
    EXPECT_EQ(capture.renderErrors, 0);
    EXPECT_EQ(capture.discontinuities, 0);
    // Outside the callback there is nothing to render.
    float l[128], r[128];
    struct {
        UInt32 n;
        AudioBuffer b[2];
    } list{2, {{1, 512, l}, {1, 512, r}}};
    EXPECT_EQ(AudioUnitRender(capture.unit, nullptr, opaqueNull<const AudioTimeStamp>(), 1, 128,
                              reinterpret_cast<AudioBufferList*>(&list)),
              kAudioUnitErr_CannotDoInCurrentContext);
    EXPECT_EQ(fakeplugin::clientCount(), 1);
    EXPECT_EQ(AudioOutputUnitStop(capture.unit), 0);
    EXPECT_TRUE(eventually([] { return fakeplugin::stopCount() == 1; }));
    EXPECT_EQ(fakeplugin::clientCount(), 0);

    // The most frames one render may ask for is taken at initialisation: 1156 as on the
    // platform, or the environment's default; a render above it fails as the platform's does.
    UInt32 maxFrames = 0;
    size = sizeof maxFrames;
    ASSERT_EQ(AudioUnitGetProperty(capture.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                   kAudioUnitScope_Global, 0, &maxFrames, &size),
              0);
    EXPECT_EQ(maxFrames, 1156u);
    EXPECT_EQ(AudioUnitSetProperty(capture.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                   kAudioUnitScope_Global, 0, &maxFrames, 4),
              kAudioUnitErr_Initialized);
    setenv("QW_STANDIN_UNIT_MAX_FRAMES", "100", 1);
    Capture small;
    small.expectFrames = 128;
    const OSStatus started = small.start(device);
    unsetenv("QW_STANDIN_UNIT_MAX_FRAMES");
    ASSERT_EQ(started, 0);
    ASSERT_TRUE(eventually([&] { return small.renderErrors >= 5; }));
    EXPECT_EQ(small.lastRenderError, kAudioUnitErr_TooManyFramesToProcess);
}

TEST(AudioServerTest, PlayedFramesComeBackMappedOntoTheClientChannels) {
    struct Case {
        UInt32 deviceChannels, captureChannels;
        bool interleaved;
        std::vector<float> want;
    };
    const Case cases[] = {
        {2, 2, false, {0.25f, 0.5f}},
        {1, 2, false, {0.25f, 0.25f}},     // mono device: the one channel on both sides
        {4, 3, true, {0.25f, 0.5f, 0.f}},  // device channels 3 and 4 were not played
    };
    for (const Case& c : cases) {
        fakeplugin::Config config;
        config.inputChannels = config.outputChannels = c.deviceChannels;
        ServerHarness harness(config);
        const AudioObjectID device = deviceNamed("Fake Loopback");
        Player player;
        ASSERT_EQ(player.start(device), 0);
        Capture capture;
        capture.channels = c.captureChannels;
        capture.interleaved = c.interleaved;
        ASSERT_EQ(capture.start(device), 0);
        // Every channel, not just the first: the callback stores them one after the other, so
        // the first can already hold the level while the others still hold the last silence.
        EXPECT_TRUE(eventually([&] {
            for (UInt32 ch = 0; ch < c.captureChannels; ++ch) {
                if (capture.last[ch] != c.want[ch]) return false;
            }
            return true;
        })) << c.deviceChannels
            << " channels";
        for (UInt32 ch = 0; ch < c.captureChannels; ++ch) {
            EXPECT_EQ(capture.last[ch], c.want[ch]) << c.deviceChannels << " channels, " << ch;
        }
    }
}

TEST(AudioServerTest, StoppingWhileTheCallbackAsksTheUnitForPropertiesDoesNotDeadlock) {
    ServerHarness harness;
    const AudioObjectID device = deviceNamed("Fake Loopback");
    struct Asker {
        static OSStatus render(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                               UInt32, UInt32, AudioBufferList*) {
            auto unit = *static_cast<AudioUnit*>(refCon);
            UInt32 running = 0, size = sizeof running;
            AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                 0, &running, &size);
            std::this_thread::sleep_for(200us);
            return 0;
        }
    };
    AudioUnit unit = newUnit(false, true);
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, 4),
              0);
    const UInt32 lead = 8192;  // many render calls per wake-up
    AudioUnitSetProperty(unit, kStandinUnitProperty_OutputLeadFrames, kAudioUnitScope_Global, 0,
                         &lead, sizeof lead);
    AURenderCallbackStruct cb{Asker::render, &unit};
    AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &cb,
                         sizeof cb);
    ASSERT_EQ(AudioUnitInitialize(unit), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(AudioOutputUnitStart(unit), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + i % 4));
        ASSERT_EQ(AudioOutputUnitStop(unit), 0);
    }
    AudioComponentInstanceDispose(unit);
}

TEST(AudioServerTest, TheUnitReportsRealStatusesForWhatItCannotDo) {
    ServerHarness harness;
    const AudioObjectID device = deviceNamed("Fake Loopback");
    AudioComponentDescription wrong{kAudioUnitType_Output, 'nope', kAudioUnitManufacturer_Apple, 0,
                                    0};
    EXPECT_EQ(AudioComponentFindNext(nullptr, &wrong), nullptr);
    AudioComponentDescription any{};
    AudioComponent found = AudioComponentFindNext(nullptr, &any);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(AudioComponentFindNext(found, &any), nullptr);

    AudioUnit unit = newUnit(true, false);
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);
    const AudioObjectID missing = 4242;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &missing, 4),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioUnitInitialize(unit), kAudioHardwareBadDeviceError);

    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, 4),
              0);
    const auto atWrongRate = floatFormat(44100, 2, false);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                   &atWrongRate, sizeof atWrongRate),
              kAudioUnitErr_FormatNotSupported);
    const auto deviceSide = floatFormat(48000, 2, true);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1,
                                   &deviceSide, sizeof deviceSide),
              kAudioUnitErr_PropertyNotWritable);
    AudioStreamBasicDescription hw{};
    UInt32 size = 40;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1,
                                   &hw, &size),
              0);
    EXPECT_EQ(hw.mSampleRate, 48000.0);
    EXPECT_EQ(hw.mChannelsPerFrame, 2u);
    UInt32 frames = 256;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioDevicePropertyBufferFrameSize,
                                   kAudioUnitScope_Global, 0, &frames, 4),
              0);
    UInt32 deviceFrames = 0;
    EXPECT_EQ(get(device, kAudioDevicePropertyBufferFrameSize, deviceFrames), 0);
    EXPECT_EQ(deviceFrames, 256u);
    ASSERT_EQ(AudioUnitInitialize(unit), 0);
    const UInt32 on = 1;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output,
                                   0, &on, 4),
              kAudioUnitErr_Initialized);
    AudioComponentInstanceDispose(unit);
}

TEST(AudioServerTest, ARunningUnitNoticesTheServerGoingAway) {
    auto harness = std::make_unique<ServerHarness>();
    const AudioObjectID device = deviceNamed("Fake Loopback");
    Capture capture;
    ASSERT_EQ(capture.start(device), 0);
    ASSERT_TRUE(eventually([&] { return capture.calls > 3; }));
    harness.reset();
    StandinUnitCounters counters{};
    EXPECT_TRUE(eventually([&] {
        UInt32 size = sizeof counters;
        AudioUnitGetProperty(capture.unit, kStandinUnitProperty_Counters, kAudioUnitScope_Global, 0,
                             &counters, &size);
        return counters.mDeviceGone != 0;
    }));
    EXPECT_EQ(AudioOutputUnitStop(capture.unit), 0);
    EXPECT_EQ(AudioOutputUnitStart(capture.unit), kAudioHardwareBadDeviceError);
}

TEST(AudioServerTest, AClientThatNeverReadsOrWritesHoldsNobodyUpAndLeavesNoTrace) {
    ServerHarness harness;
    const AudioObjectID device = deviceNamed("Fake Loopback");
    // A session opened by hand whose owner then does nothing at all.
    const int raw = qwipc::connectTo(ServerHarness::socketPath());
    ASSERT_GE(raw, 0);
    qwipc::StartSessionRequest req{{static_cast<uint32_t>(qwipc::MsgType::kStartSession), 1},
                                   device,
                                   qwipc::kSessionInput | qwipc::kSessionOutput,
                                   0,
                                   0};
    qwipc::StartSessionReply rep{};
    int fds[2] = {-1, -1}, nfds = 0;
    ASSERT_EQ(qwipc::roundTrip(raw, &req, sizeof req, &rep, sizeof rep, 2000, fds, 2, &nfds),
              static_cast<long>(sizeof rep));
    ASSERT_EQ(rep.status, 0);
    ASSERT_EQ(nfds, 2);
    close(fds[0]);
    close(fds[1]);

    Capture capture;
    ASSERT_EQ(capture.start(device), 0);
    // A server held up by the idle session would deliver nothing at all.
    ASSERT_TRUE(eventually([&] { return capture.calls >= 100; }, 5000ms));
    EXPECT_EQ(capture.discontinuities, 0);
    EXPECT_EQ(fakeplugin::clientCount(), 2);

    close(raw);  // the owner vanishes
    EXPECT_TRUE(eventually([] { return fakeplugin::clientCount() == 1; }));
    const int before = capture.calls;
    EXPECT_TRUE(eventually([&] { return capture.calls > before + 10; }));
    EXPECT_EQ(fakeplugin::stopCount(), 0);
}

TEST(AudioServerTest, BrokenPlugInsAndUnrunnableDevicesAreSkipped) {
    char dir[] = "/tmp/qw-plugins-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    const char* bundles[] = {"fake_good", "fake_init_fails", "fake_null_factory",
                             "fake_no_interface"};
    for (const char* name : bundles) {
        ASSERT_EQ(symlink((std::string(QW_TEST_PLUGIN_DIR) + "/" + name + ".driver").c_str(),
                          (d + "/" + name + ".driver").c_str()),
                  0);
    }
    ASSERT_EQ(mkdir((d + "/garbage.driver").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d + "/garbage.driver/Contents").c_str(), 0755), 0);
    FILE* garbage = std::fopen((d + "/garbage.driver/Contents/Info.plist").c_str(), "w");
    std::fputs("garbage", garbage);
    std::fclose(garbage);
    {
        ServerHarness harness(d);
        EXPECT_EQ(harness.server().deviceCount(), 1u);
        EXPECT_NE(deviceNamed("Fake Loopback"), 0u);
    }
    {
        fakeplugin::Config config;
        config.integerFormat = true;
        ServerHarness harness(config);
        EXPECT_EQ(harness.server().deviceCount(), 0u);
        const auto devices = addr(kAudioHardwarePropertyDevices);
        UInt32 size = 99;
        EXPECT_EQ(
            AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
            0);
        EXPECT_EQ(size, 0u);
    }
    for (const char* name : bundles) unlink((d + "/" + name + ".driver").c_str());
    unlink((d + "/garbage.driver/Contents/Info.plist").c_str());
    rmdir((d + "/garbage.driver/Contents").c_str());
    rmdir((d + "/garbage.driver").c_str());
    rmdir(dir);
}

}  // namespace
