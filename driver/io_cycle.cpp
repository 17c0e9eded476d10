// IO cycle: counting running clients, the device clock and the loopback copy.
#include <atomic>

#include "driver_state.h"
#include "gain_ramp.h"
#include "loopback_ring.h"
#include "osutil/host_time.h"
#include "zero_time_stamp.h"

namespace {

struct Timeline {
    UInt64 anchor;
    Float64 rate;
    UInt64 seed;
};

// The anchor, rate and seed of one timeline. A change takes three stores, so a read that saw the
// version move tries again; after a few tries (a writer stalled between its stores) it keeps the
// last, mixed reading rather than wait: a start or rate change is rare and quick.
Timeline currentTimeline() {
    Timeline t{};
    for (int attempt = 0; attempt < 8; ++attempt) {
        const UInt32 before = gTimelineVersion.load(std::memory_order_acquire);
        t.anchor = gAnchorHostTime.load(std::memory_order_acquire);
        t.rate = gSampleRate.load(std::memory_order_acquire);
        t.seed = gSeed.load(std::memory_order_acquire);
        if ((before & 1) == 0 && gTimelineVersion.load(std::memory_order_relaxed) == before) break;
    }
    return t;
}

}  // namespace

// The ring is cleared under gIOMutex, taken inside gStateMutex (never the other way round), so
// that an IO operation still running for another client never sees a half-cleared ring.
void beginTimeline(Float64 rate) {
    gTimelineVersion.fetch_add(1, std::memory_order_acq_rel);
    gAnchorHostTime.store(mach_absolute_time(), std::memory_order_release);
    gSampleRate.store(rate, std::memory_order_release);
    gSeed.fetch_add(1, std::memory_order_release);
    gTimelineVersion.fetch_add(1, std::memory_order_release);
    if (LoopbackRing* ring = gRing.load(std::memory_order_acquire)) {
        pthread_mutex_lock(&gIOMutex);
        clearRing(*ring);
        resetGainRamp();
        pthread_mutex_unlock(&gIOMutex);
    }
}

// A start from idle begins a new timeline at the current rate.
OSStatus QWV_StartIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32) {
    pthread_mutex_lock(&gStateMutex);
    if (gIOCount == 0) beginTimeline(gSampleRate.load(std::memory_order_relaxed));
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
    const Timeline timeline = currentTimeline();
    const UInt64 now = mach_absolute_time();
    const ZeroTimeStamp stamp = zeroTimeStampAt(now, timeline.anchor, timeline.rate,
                                                kZeroTimeStampPeriod, qw::hostTimebase());
    if (outSampleTime != nullptr) *outSampleTime = stamp.sampleTime;
    if (outHostTime != nullptr) *outHostTime = stamp.hostTime;
    if (outSeed != nullptr) *outSeed = timeline.seed;
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
// what was written at the cycle's input sample time into the main buffer, silence elsewhere, at
// the controls' gain.
OSStatus QWV_DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID, AudioObjectID, UInt32,
                           UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                           const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
                           void*) {
    LoopbackRing* ring = gRing.load(std::memory_order_acquire);
    if (ring == nullptr || inIOCycleInfo == nullptr || ioMainBuffer == nullptr) {
        return kAudioHardwareNoError;
    }
    auto* frames = static_cast<Float32*>(ioMainBuffer);
    if (inOperationID == kAudioServerPlugInIOOperationReadInput) {
        pthread_mutex_lock(&gIOMutex);
        readRing(*ring, inIOCycleInfo->mInputTime.mSampleTime, inIOBufferFrameSize, frames);
        applyGain(inIOCycleInfo->mInputTime.mSampleTime, inIOBufferFrameSize, frames);
        pthread_mutex_unlock(&gIOMutex);
    } else if (inOperationID == kAudioServerPlugInIOOperationWriteMix) {
        pthread_mutex_lock(&gIOMutex);
        writeRing(*ring, inIOCycleInfo->mOutputTime.mSampleTime, inIOBufferFrameSize, frames);
        pthread_mutex_unlock(&gIOMutex);
    }
    return kAudioHardwareNoError;
}

OSStatus QWV_EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                            const AudioServerPlugInIOCycleInfo*) {
    return kAudioHardwareNoError;
}
