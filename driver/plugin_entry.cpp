// The plug-in's entry: the factory the audio server finds by name, the interface table, interface
// lookup and reference counting, and the device lifecycle calls.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>

#include "driver_state.h"
#include "loopback_ring.h"

AudioServerPlugInDriverInterface gInterface = {
    nullptr,
    QWV_QueryInterface,
    QWV_AddRef,
    QWV_Release,
    QWV_Initialize,
    QWV_CreateDevice,
    QWV_DestroyDevice,
    QWV_AddDeviceClient,
    QWV_RemoveDeviceClient,
    QWV_PerformDeviceConfigurationChange,
    QWV_AbortDeviceConfigurationChange,
    QWV_HasProperty,
    QWV_IsPropertySettable,
    QWV_GetPropertyDataSize,
    QWV_GetPropertyData,
    QWV_SetPropertyData,
    QWV_StartIO,
    QWV_StopIO,
    QWV_GetZeroTimeStamp,
    QWV_WillDoIOOperation,
    QWV_BeginIOOperation,
    QWV_DoIOOperation,
    QWV_EndIOOperation,
};
AudioServerPlugInDriverInterface* gInterfacePtr = &gInterface;

namespace {

bool isOurDriver(const void* driver) {
    return driver != nullptr && driver == gDriverRef.load(std::memory_order_acquire);
}

// The ring is allocated once; when two factory calls race, the loser frees its copy.
void allocateRing() {
    if (gRing.load(std::memory_order_acquire) != nullptr) return;
    auto* ring = static_cast<LoopbackRing*>(std::malloc(sizeof(LoopbackRing)));
    if (ring == nullptr) return;  // IO copies nothing until a later factory call succeeds
    clearRing(*ring);
    LoopbackRing* expected = nullptr;
    if (!gRing.compare_exchange_strong(expected, ring, std::memory_order_acq_rel)) std::free(ring);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* QWV_Create(CFAllocatorRef,
                                                                   CFUUIDRef inRequestedTypeUUID) {
    if (inRequestedTypeUUID == nullptr ||
        !CFEqual(inRequestedTypeUUID, kAudioServerPlugInTypeUUID)) {
        return nullptr;
    }
    allocateRing();
    auto ref = reinterpret_cast<AudioServerPlugInDriverRef>(&gInterfacePtr);
    gDriverRef.store(ref, std::memory_order_release);
    return ref;
}

HRESULT QWV_QueryInterface(void* inDriver, REFIID inUUID, LPVOID* outInterface) {
    if (outInterface == nullptr || !isOurDriver(inDriver)) return kAudioHardwareBadObjectError;
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, inUUID);
    if (requested == nullptr) return E_NOINTERFACE;
    HRESULT result = E_NOINTERFACE;
    if (CFEqual(requested, IUnknownUUID) ||
        CFEqual(requested, kAudioServerPlugInDriverInterfaceUUID)) {
        pthread_mutex_lock(&gStateMutex);
        ++gRefCount;
        pthread_mutex_unlock(&gStateMutex);
        *outInterface = gDriverRef.load(std::memory_order_acquire);
        result = S_OK;
    }
    CFRelease(requested);
    return result;
}

ULONG QWV_AddRef(void* inDriver) {
    if (!isOurDriver(inDriver)) return 0;
    pthread_mutex_lock(&gStateMutex);
    const ULONG count = ++gRefCount;
    pthread_mutex_unlock(&gStateMutex);
    return count;
}

ULONG QWV_Release(void* inDriver) {
    if (!isOurDriver(inDriver)) return 0;
    pthread_mutex_lock(&gStateMutex);
    if (gRefCount > 0) --gRefCount;
    const ULONG count = gRefCount;
    pthread_mutex_unlock(&gStateMutex);
    return count;
}

OSStatus QWV_Initialize(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost) {
    if (!isOurDriver(inDriver)) return kAudioHardwareBadObjectError;
    gHost.store(inHost, std::memory_order_release);
    return kAudioHardwareNoError;
}

OSStatus QWV_CreateDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                          const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus QWV_DestroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus QWV_AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID,
                             const AudioServerPlugInClientInfo*) {
    return kAudioHardwareNoError;
}

OSStatus QWV_RemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID,
                                const AudioServerPlugInClientInfo*) {
    return kAudioHardwareNoError;
}

// The second step of a rate change: the change action carries the new rate in Hz. A new rate
// begins a new timeline, whether or not the host stopped IO around the change.
OSStatus QWV_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef,
                                              AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                              void*) {
    if (inDeviceObjectID != kDeviceObjectID) return kAudioHardwareNoError;
    for (Float64 rate : kSupportedSampleRates) {
        if (inChangeAction != static_cast<UInt64>(rate)) continue;
        pthread_mutex_lock(&gStateMutex);
        if (rate != gSampleRate.load(std::memory_order_relaxed)) beginTimeline(rate);
        pthread_mutex_unlock(&gStateMutex);
    }
    return kAudioHardwareNoError;
}

OSStatus QWV_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID, UInt64,
                                            void*) {
    return kAudioHardwareNoError;
}
