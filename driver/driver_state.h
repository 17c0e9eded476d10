// Process-wide state of quillwave-driver and the operations of its interface table.
// Internal to the plug-in: nothing declared here is exported.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>
#include <mach/mach_time.h>
#include <pthread.h>

#include <atomic>

// The fixed object tree.
enum : AudioObjectID {
    kPlugInObjectID = kAudioObjectPlugInObject,
    kDeviceObjectID = 2,
    kOutputStreamObjectID = 3,
    kInputStreamObjectID = 4,
    kVolumeControlObjectID = 6,
    kMuteControlObjectID = 7,
};

constexpr UInt32 kChannelCount = 2;
constexpr UInt32 kBytesPerFrame = kChannelCount * sizeof(Float32);
constexpr UInt32 kRingFrameCount = 384000;
constexpr size_t kRingByteCount = size_t{kRingFrameCount} * kBytesPerFrame;
// At least the 10923 frames the audio server takes as the least period, and a divisor of the
// ring, so that a period boundary always falls on the same ring frame.
constexpr UInt32 kZeroTimeStampPeriod = 12000;
static_assert(kZeroTimeStampPeriod >= 10923 && kRingFrameCount % kZeroTimeStampPeriod == 0);
constexpr UInt32 kMinBufferFrameSize = 16;
constexpr UInt32 kMaxBufferFrameSize = 2048;
constexpr Float64 kSupportedSampleRates[] = {44100.0, 48000.0,  88200.0,
                                             96000.0, 176400.0, 192000.0};
constexpr UInt32 kSupportedSampleRateCount =
    sizeof(kSupportedSampleRates) / sizeof(kSupportedSampleRates[0]);

// Plain values that any host thread may read or write without a lock are atomics with relaxed
// ordering: read and written whole, with no ordering promised beyond that.
extern AudioServerPlugInDriverInterface gInterface;
extern AudioServerPlugInDriverInterface* gInterfacePtr;
extern std::atomic<AudioServerPlugInDriverRef> gDriverRef;
extern UInt32 gRefCount;  // gStateMutex
extern std::atomic<AudioServerPlugInHostRef> gHost;
extern pthread_mutex_t gStateMutex;
extern std::atomic<Float64> gSampleRate;
extern std::atomic<UInt32> gBufferFrameSize;
extern pthread_mutex_t gIOMutex;
// The loopback ring: the frames and, beside each, the sample time it was written at, so that a
// read gets only what was written at its very sample time (never a frame one or more laps old).
struct LoopbackRing {
    Float32 samples[size_t{kRingFrameCount} * kChannelCount];
    Float64 writtenAt[kRingFrameCount];  // the whole sample time of the frame; NaN: none
};
extern std::atomic<LoopbackRing*> gRing;  // contents: gIOMutex
extern UInt64 gIOCount;                   // gStateMutex
// The device's timeline: anchor, rate and seed change together, under gStateMutex, and are read
// without a lock; gTimelineVersion is odd while they change (the reader tries again).
extern std::atomic<UInt64> gAnchorHostTime;
extern std::atomic<UInt64> gSeed;
extern std::atomic<UInt32> gTimelineVersion;

// Begins a new timeline at `rate`: anchors the clock now, clears the ring and takes a new seed.
// The caller holds gStateMutex.
void beginTimeline(Float64 rate);

bool isSupportedSampleRate(Float64 rate);

// Entry layer.
HRESULT QWV_QueryInterface(void* inDriver, REFIID inUUID, LPVOID* outInterface);
ULONG QWV_AddRef(void* inDriver);
ULONG QWV_Release(void* inDriver);
OSStatus QWV_Initialize(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
OSStatus QWV_CreateDevice(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                          const AudioServerPlugInClientInfo* inClientInfo,
                          AudioObjectID* outDeviceObjectID);
OSStatus QWV_DestroyDevice(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
OSStatus QWV_AddDeviceClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                             const AudioServerPlugInClientInfo* inClientInfo);
OSStatus QWV_RemoveDeviceClient(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
OSStatus QWV_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef inDriver,
                                              AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                              void* inChangeInfo);
OSStatus QWV_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef inDriver,
                                            AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                            void* inChangeInfo);

// Properties.
Boolean QWV_HasProperty(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                        pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress);
OSStatus QWV_IsPropertySettable(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress,
                                Boolean* outIsSettable);
OSStatus QWV_GetPropertyDataSize(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                 pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32* outDataSize);
OSStatus QWV_GetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                             pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                             UInt32 inQualifierDataSize, const void* inQualifierData,
                             UInt32 inDataSize, UInt32* outDataSize, void* outData);
OSStatus QWV_SetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                             pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                             UInt32 inQualifierDataSize, const void* inQualifierData,
                             UInt32 inDataSize, const void* inData);

// IO cycle.
OSStatus QWV_StartIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                     UInt32 inClientID);
OSStatus QWV_StopIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                    UInt32 inClientID);
OSStatus QWV_GetZeroTimeStamp(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime,
                              UInt64* outSeed);
OSStatus QWV_WillDoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                               Boolean* outWillDoInPlace);
OSStatus QWV_BeginIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
OSStatus QWV_DoIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                           AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                           UInt32 inIOBufferFrameSize,
                           const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
                           void* ioSecondaryBuffer);
OSStatus QWV_EndIOOperation(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                            UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                            const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
