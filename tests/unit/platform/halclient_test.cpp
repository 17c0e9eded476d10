// The HAL calls when no server runs, or when one is stuck: no devices, quick failures, and
// never a wait without end.
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/AudioHardware.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "ipc/socket_io.h"
#include "opaque_null.h"

namespace {

std::string tempDir() {
    char dir[] = "/tmp/qw-halclient-XXXXXX";
    return mkdtemp(dir) != nullptr ? std::string(dir) : std::string("/tmp");
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

const AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};

TEST(HalClientTest, WithNoServerThereAreNoDevicesAndCallsFailAtOnce) {
    const std::string dir = tempDir();
    setenv("QW_AUDIO_SERVER_SOCKET", (dir + "/nobody.sock").c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        UInt32 size = 123;
        ASSERT_EQ(
            AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size),
            0);
        ASSERT_EQ(size, 0u);
    }
    EXPECT_LT(secondsSince(t0), 1.0);

    AudioObjectID ids[4] = {};
    UInt32 size = sizeof ids;
    EXPECT_EQ(
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size, ids), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(AudioObjectHasProperty(kAudioObjectSystemObject, &kDevices));

    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                          0};
    CFStringRef s = nullptr;
    size = sizeof s;
    EXPECT_EQ(AudioObjectGetPropertyData(33, &name, 0, nullptr, &size, &s),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(s, nullptr);
    EXPECT_FALSE(AudioObjectHasProperty(33, &name));
    const Float64 rate = 44100;
    const AudioObjectPropertyAddress nsrt{kAudioDevicePropertyNominalSampleRate,
                                          kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(AudioObjectSetPropertyData(33, &nsrt, 0, nullptr, sizeof rate, &rate),
              kAudioHardwareBadObjectError);

    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &desc), &unit), 0);
    const AudioObjectID device = 33;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, 4),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioUnitInitialize(unit), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), 0);
    rmdir(dir.c_str());
}

TEST(HalClientTest, AServerThatNeverAnswersCostsABoundedWait) {
    const std::string dir = tempDir();
    const std::string path = dir + "/stuck.sock";
    const int stuck = qwipc::listenAt(path);  // accepts connections, answers nothing
    ASSERT_GE(stuck, 0);
    setenv("QW_AUDIO_SERVER_SOCKET", path.c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    UInt32 size = 123;
    EXPECT_EQ(
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 0u);
    const double waited = secondsSince(t0);
    EXPECT_GT(waited, 1.0);
    EXPECT_LT(waited, 6.0);
    close(stuck);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(HalClientTest, TheOneComponentIsTheOutputUnitOfTheHALKind) {
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent c = AudioComponentFindNext(nullptr, &desc);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(AudioComponentFindNext(c, &desc), nullptr);
    desc.componentManufacturer = 'abcd';
    EXPECT_EQ(AudioComponentFindNext(nullptr, &desc), nullptr);
    EXPECT_NE(AudioComponentInstanceNew(opaqueNull<OpaqueAudioComponent>(),
                                        opaqueNull<AudioComponentInstance>()),
              0);
}

}  // namespace
