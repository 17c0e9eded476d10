// Factory, interface lookup, reference counting, initialisation and the configuration-change
// protocol of quillwave-driver, reached through its interface table.
#include <CoreAudio/AudioHardware.h>
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "driver_harness.h"
#include "fake_host.h"

using namespace driver_test;

namespace {

constexpr AudioObjectID kDevice = 2;

CFUUIDBytes bytesOf(CFUUIDRef uuid) {
    return CFUUIDGetUUIDBytes(uuid);
}

Float64 nominalRate(AudioServerPlugInDriverRef driver) {
    return readValue<Float64>(driver, kDevice, address(kAudioDevicePropertyNominalSampleRate));
}

Float64 streamRate(AudioServerPlugInDriverRef driver, AudioObjectID stream,
                   AudioObjectPropertySelector selector) {
    return readValue<AudioStreamBasicDescription>(driver, stream, address(selector)).mSampleRate;
}

UInt32 bufferFrameSize(AudioServerPlugInDriverRef driver) {
    return readValue<UInt32>(driver, kDevice, address(kAudioDevicePropertyBufferFrameSize));
}

OSStatus setRate(AudioServerPlugInDriverRef driver, Float64 rate) {
    return setValue(driver, kDevice, kAudioDevicePropertyNominalSampleRate, &rate, sizeof rate);
}

OSStatus setFrames(AudioServerPlugInDriverRef driver, UInt32 frames) {
    return setValue(driver, kDevice, kAudioDevicePropertyBufferFrameSize, &frames, sizeof frames);
}

}  // namespace

TEST(DriverEntry, FactoryAnswersOnlyThePlugInTypeAndAlwaysTheSameReference) {
    Factory factory = loadFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(factory(nullptr, IUnknownUUID), nullptr);
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);

    // A type UUID made at run time compares by value, not by pointer.
    CFUUIDRef type = CFUUIDCreateFromUUIDBytes(nullptr, bytesOf(kAudioServerPlugInTypeUUID));
    auto first = static_cast<AudioServerPlugInDriverRef>(factory(nullptr, type));
    CFRelease(type);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(*first, nullptr);
    EXPECT_EQ((*first)->_reserved, nullptr);

    // The ring is allocated once: what is in it survives a second factory call.
    EXPECT_EQ(table(first).StartIO(first, kDevice, 1), 0);
    writeFrames(first, 100, {0.25f, -0.5f});
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), first);
    EXPECT_EQ(readFrames(first, 100, 1), (std::vector<Float32>{0.25f, -0.5f}));
}

TEST(DriverEntry, QueryInterfaceAndReferenceCounting) {
    AudioServerPlugInDriverRef driver = createDriver();
    ASSERT_NE(driver, nullptr);
    const auto& ops = table(driver);

    LPVOID out = nullptr;
    EXPECT_EQ(ops.QueryInterface(driver, bytesOf(kAudioServerPlugInDriverInterfaceUUID), &out),
              S_OK);
    EXPECT_EQ(out, driver);
    EXPECT_EQ(ops.AddRef(driver), 2u);
    EXPECT_EQ(ops.Release(driver), 1u);
    EXPECT_EQ(ops.Release(driver), 0u);
    EXPECT_EQ(ops.Release(driver), 0u);  // stays at 0

    out = nullptr;
    EXPECT_EQ(ops.QueryInterface(driver, bytesOf(IUnknownUUID), &out), S_OK);
    EXPECT_EQ(out, driver);
    EXPECT_EQ(ops.AddRef(driver), 2u);

    // Another interface: E_NOINTERFACE, the out pointer and the count left alone.
    void* const untouched = reinterpret_cast<void*>(0x1234);
    out = untouched;
    EXPECT_EQ(ops.QueryInterface(driver, bytesOf(kAudioServerPlugInTypeUUID), &out), E_NOINTERFACE);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(ops.AddRef(driver), 3u);

    // A null out pointer or someone else's reference: '!obj', nothing counted.
    EXPECT_EQ(ops.QueryInterface(driver, bytesOf(IUnknownUUID), nullptr),
              kAudioHardwareBadObjectError);
    AudioServerPlugInDriverInterface* otherTable = *driver;
    auto foreign = &otherTable;
    out = untouched;
    EXPECT_EQ(ops.QueryInterface(foreign, bytesOf(IUnknownUUID), &out),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(ops.AddRef(foreign), 0u);
    EXPECT_EQ(ops.Release(foreign), 0u);
    EXPECT_EQ(ops.AddRef(nullptr), 0u);
    EXPECT_EQ(ops.Release(driver), 2u);
}

TEST(DriverEntry, LifecycleCallsAndForeignReferences) {
    AudioServerPlugInDriverRef driver = createDriver();
    const auto& ops = table(driver);
    FakeHost host(driver);
    AudioServerPlugInDriverInterface* otherTable = *driver;

    EXPECT_EQ(ops.Initialize(&otherTable, host.ref()), kAudioHardwareBadObjectError);
    // Not initialised: a buffer size change is not announced to anyone.
    EXPECT_EQ(setFrames(driver, 256), 0);
    EXPECT_EQ(ops.Initialize(driver, host.ref()), 0);
    EXPECT_TRUE(host.notifications().empty());
    EXPECT_TRUE(host.requests().empty());

    AudioObjectID created = 77;
    EXPECT_EQ(ops.CreateDevice(driver, opaqueNull<const __CFDictionary>(),
                               opaqueNull<const AudioServerPlugInClientInfo>(), &created),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(created, 77u);
    EXPECT_EQ(ops.DestroyDevice(driver, kDevice), kAudioHardwareUnsupportedOperationError);
    const AudioServerPlugInClientInfo client{5, 1234, true, nullptr};
    EXPECT_EQ(ops.AddDeviceClient(driver, kDevice, &client), 0);
    EXPECT_EQ(ops.RemoveDeviceClient(driver, kDevice, &client), 0);
    EXPECT_TRUE(host.notifications().empty());
}

TEST(DriverEntry, PerformChangeAcceptsOnlyTheDeviceAndTheSixRates) {
    AudioServerPlugInDriverRef driver = createDriver();
    const auto& ops = table(driver);
    EXPECT_EQ(ops.PerformDeviceConfigurationChange(driver, kDevice, 96000, nullptr), 0);
    EXPECT_EQ(nominalRate(driver), 96000.0);
    EXPECT_EQ(ops.PerformDeviceConfigurationChange(driver, kDevice, 22050, nullptr), 0);
    EXPECT_EQ(ops.PerformDeviceConfigurationChange(driver, 3, 44100, nullptr), 0);
    EXPECT_EQ(ops.PerformDeviceConfigurationChange(driver, kDevice, 0, nullptr), 0);
    EXPECT_EQ(ops.AbortDeviceConfigurationChange(driver, kDevice, 44100, nullptr), 0);
    EXPECT_EQ(nominalRate(driver), 96000.0);
    for (UInt64 rate : {44100u, 48000u, 88200u, 176400u, 192000u}) {
        EXPECT_EQ(ops.PerformDeviceConfigurationChange(driver, kDevice, rate, nullptr), 0);
        EXPECT_EQ(nominalRate(driver), static_cast<Float64>(rate));
    }
}

TEST(DriverEntry, RateChangesInTwoStepsThroughTheHost) {
    AudioServerPlugInDriverRef driver = createDriver();
    const auto& ops = table(driver);
    FakeHost host(driver);

    // Before Initialize a valid request is accepted and dropped.
    EXPECT_EQ(setRate(driver, 44100.0), 0);
    EXPECT_EQ(nominalRate(driver), 48000.0);
    ASSERT_EQ(ops.Initialize(driver, host.ref()), 0);

    EXPECT_EQ(setRate(driver, 44100.0), 0);
    ASSERT_EQ(host.requests().size(), 1u);
    EXPECT_EQ(host.requests()[0].device, kDevice);
    EXPECT_EQ(host.requests()[0].action, 44100u);
    EXPECT_EQ(host.requests()[0].info, nullptr);
    // Nothing changes until the host performs the change.
    EXPECT_EQ(nominalRate(driver), 48000.0);
    EXPECT_EQ(streamRate(driver, 3, kAudioStreamPropertyVirtualFormat), 48000.0);
    host.performPending();
    EXPECT_EQ(nominalRate(driver), 44100.0);
    for (AudioObjectID stream : {3u, 4u}) {
        EXPECT_EQ(streamRate(driver, stream, kAudioStreamPropertyVirtualFormat), 44100.0);
        EXPECT_EQ(streamRate(driver, stream, kAudioStreamPropertyPhysicalFormat), 44100.0);
    }
    EXPECT_TRUE(host.notifications().empty());  // the host announces rate changes itself

    // The current rate: no request. An unsupported rate: 'nope', no request.
    host.clear();
    EXPECT_EQ(setRate(driver, 44100.0), 0);
    EXPECT_EQ(setRate(driver, 22050.0), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setRate(driver, 44100.5), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(host.requests().empty());

    // A stream format asks for its rate; its other fields are ignored.
    AudioStreamBasicDescription mono{};
    mono.mSampleRate = 96000.0;
    mono.mChannelsPerFrame = 1;
    mono.mFormatID = 'ac-3';
    EXPECT_EQ(setValue(driver, 4, kAudioStreamPropertyVirtualFormat, &mono, sizeof mono), 0);
    mono.mSampleRate = 192000.0;
    EXPECT_EQ(setValue(driver, 3, kAudioStreamPropertyPhysicalFormat, &mono, sizeof mono), 0);
    EXPECT_EQ(setValue(driver, 3, kAudioStreamPropertyPhysicalFormat, &mono, sizeof mono - 1),
              kAudioHardwareUnsupportedOperationError);
    ASSERT_EQ(host.requests().size(), 2u);
    EXPECT_EQ(host.requests()[0].action, 96000u);
    EXPECT_EQ(host.requests()[1].action, 192000u);
    host.performPending();
    EXPECT_EQ(nominalRate(driver), 192000.0);
    EXPECT_EQ(streamRate(driver, 4, kAudioStreamPropertyVirtualFormat), 192000.0);
}

TEST(DriverEntry, BufferFrameSizeIsClampedAndAnnounced) {
    AudioServerPlugInDriverRef driver = createDriver();
    FakeHost host(driver);
    ASSERT_EQ(table(driver).Initialize(driver, host.ref()), 0);
    EXPECT_EQ(bufferFrameSize(driver), 512u);

    const struct {
        UInt32 requested, stored;
    } cases[] = {{8, 16},  {4096, 2048}, {256, 256}, {0, 16}, {0xFFFFFFFF, 2048},
                 {16, 16}, {2048, 2048}};
    for (const auto& c : cases) {
        host.clear();
        EXPECT_EQ(setFrames(driver, c.requested), 0);
        EXPECT_EQ(bufferFrameSize(driver), c.stored) << c.requested;
        const auto notes = host.notifications();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].object, kDevice);
        ASSERT_EQ(notes[0].addresses.size(), 1u);
        EXPECT_EQ(notes[0].addresses[0].mSelector, kAudioDevicePropertyBufferFrameSize);
        EXPECT_EQ(notes[0].addresses[0].mScope, kAudioObjectPropertyScopeGlobal);
        EXPECT_EQ(notes[0].addresses[0].mElement, kAudioObjectPropertyElementMain);
        EXPECT_TRUE(host.requests().empty());
    }

    // Too few bytes: 'unop', nothing stored or announced.
    host.clear();
    const UInt32 frames = 100;
    EXPECT_EQ(setValue(driver, kDevice, kAudioDevicePropertyBufferFrameSize, &frames, 3),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(bufferFrameSize(driver), 2048u);
    EXPECT_TRUE(host.notifications().empty());
}

TEST(DriverEntry, ReloadStartsFromTheDefaults) {
    {
#if defined(__SANITIZE_ADDRESS__)
        __lsan::ScopedDisabler ringOfTheFirstLoad;  // dropped with the module, by design
#endif
        AudioServerPlugInDriverRef driver = createDriver();
        ASSERT_NE(driver, nullptr);
        table(driver).PerformDeviceConfigurationChange(driver, kDevice, 96000, nullptr);
        setFrames(driver, 64);
        ASSERT_EQ(nominalRate(driver), 96000.0);
    }
    unloadModule();
    AudioServerPlugInDriverRef driver = createDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(nominalRate(driver), 48000.0);
    EXPECT_EQ(bufferFrameSize(driver), 512u);
}
