// IO cycle: counting running clients, the device clock and the loopback copy.
#include <cstring>

#include "driver_state.h"
#include "loopback_ring.h"
#include "osutil/host_time.h"
#include "zero_time_stamp.h"

// A start from idle anchors the clock and clears the ring. The ring is cleared under gIOMutex,
// taken inside gStateMutex (never the other way round), so that an IO operation still running
// for another client never sees a half-cleared ring.
OSStatus QWV_StartIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32) {
    pthread_mutex_lock(&gStateMutex);
    if (gIOCount == 0) {
        gAnchorHostTime.store(mach_absolute_time(), std::memory_order_relaxed);
        if (Float32* ring = gRing.load(std::memory_order_acquire)) {
            pthread_mutex_lock(&gIOMutex);
            std::memset(ring, 0, kRingByteCount);
            pthread_mutex_unlock(&gIOMutex);
        }
    }
    ++gIOCount;
    pthread_mutex_unlock(&gStateMutex);
    return kAudioHardwareNoError;
}

OSStatus QWV_StopIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32) {
    pthread_mutex_lock(&gStateMutex);
    if (gIOCount > 0) --gIOCount;
    pthread_mutex_unlock(&gStateMutex);
    return kAudioHardwareNoError;
}

OSStatus QWV_GetZeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID, UInt32,
                              Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed) {
    const UInt64 anchor = gAnchorHostTime.load(std::memory_order_relaxed);
    const UInt64 now = mach_absolute_time();
    const ZeroTimeStamp stamp =
        zeroTimeStampAt(now, anchor, gSampleRate.load(std::memory_order_relaxed),
                        kZeroTimeStampPeriod, qw::hostTimebase());
    if (outSampleTime != nullptr) *outSampleTime = stamp.sampleTime;
    if (outHostTime != nullptr) *outHostTime = stamp.hostTime;
    if (outSeed != nullptr) *outSeed = 1;
    return kAudioHardwareNoError;
}

OSStatus QWV_WillDoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32,
                               UInt32 inOperationID, Boolean* outWillDo,
                               Boolean* outWillDoInPlace) {
    if (outWillDo != nullptr) {
        *outWillDo = inOperationID == kAudioServerPlugInIOOperationReadInput ||
                     inOperationID == kAudioServerPlugInIOOperationWriteMix;
    }
    if (outWillDoInPlace != nullptr) *outWillDoInPlace = true;
    return kAudioHardwareNoError;
}

OSStatus QWV_BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                              const AudioServerPlugInIOCycleInfo*) {
    return kAudioHardwareNoError;
}

// WriteMix stores the main buffer in the ring at the cycle's output sample time; ReadInput copies
// the ring at the cycle's input sample time into the main buffer.
OSStatus QWV_DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, AudioObjectID, UInt32,
                           UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                           const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
                           void*) {
    Float32* ring = gRing.load(std::memory_order_acquire);
    if (ring == nullptr || inIOCycleInfo == nullptr || ioMainBuffer == nullptr) {
        return kAudioHardwareNoError;
    }
    auto* frames = static_cast<Float32*>(ioMainBuffer);
    if (inOperationID == kAudioServerPlugInIOOperationReadInput) {
        pthread_mutex_lock(&gIOMutex);
        readRing(ring, inIOCycleInfo->mInputTime.mSampleTime, inIOBufferFrameSize, frames);
        pthread_mutex_unlock(&gIOMutex);
    } else if (inOperationID == kAudioServerPlugInIOOperationWriteMix) {
        pthread_mutex_lock(&gIOMutex);
        writeRing(ring, inIOCycleInfo->mOutputTime.mSampleTime, inIOBufferFrameSize, frames);
        pthread_mutex_unlock(&gIOMutex);
    }
    return kAudioHardwareNoError;
}

OSStatus QWV_EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                            const AudioServerPlugInIOCycleInfo*) {
    return kAudioHardwareNoError;
}
