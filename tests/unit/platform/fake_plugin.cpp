#include "fake_plugin.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>
#include <mach/mach_time.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace fakeplugin {
namespace {

constexpr size_t kRingFrames = 65536;
constexpr size_t kRingChannels = 8;
constexpr size_t kMaxRecords = 200000;

Config gConfig;
std::atomic<Float64> gRate{48000.0};
std::atomic<UInt32> gFrameSize{256};
AudioServerPlugInHostRef gHost = nullptr;
std::mutex gLock;  // state below, and the ring
int gStarts = 0, gStops = 0, gRunning = 0, gClients = 0;
UInt64 gAnchor = 0, gSeed = 1;  // gLock
std::vector<UInt64> gActions;
float gRing[kRingFrames * kRingChannels];
IORecord gRecords[kMaxRecords];
std::atomic<size_t> gRecordCount{0};
std::atomic<UInt32> gStallMs{0};
std::atomic<pthread_t> gIOThread{};
std::atomic<int> gWillDoAsked{0}, gWillDoOnIOThread{0}, gCycleBegins{0}, gCycleEnds{0};

AudioServerPlugInDriverInterface gInterface;
AudioServerPlugInDriverInterface* gInterfacePtr = &gInterface;

bool isUs(void* driver) {
    return driver == &gInterfacePtr;
}

AudioStreamBasicDescription streamFormat(UInt32 channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = gRate.load();
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = gConfig.integerFormat
                         ? kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked
                         : kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = gConfig.integerFormat ? 16 : 32;
    f.mChannelsPerFrame = channels;
    f.mBytesPerFrame = f.mBitsPerChannel / 8 * channels;
    f.mBytesPerPacket = f.mBytesPerFrame;
    f.mFramesPerPacket = 1;
    return f;
}

HRESULT queryInterface(void* driver, REFIID uuid, LPVOID* out) {
    if (!isUs(driver) || out == nullptr) return kAudioHardwareBadObjectError;
    CFUUIDRef wanted = CFUUIDCreateFromUUIDBytes(nullptr, uuid);
    const bool ok =
        CFEqual(wanted, kAudioServerPlugInDriverInterfaceUUID) || CFEqual(wanted, IUnknownUUID);
    CFRelease(wanted);
#ifdef FAKE_NO_INTERFACE
    return E_NOINTERFACE;
#endif
    if (!ok) return E_NOINTERFACE;
    *out = &gInterfacePtr;
    return S_OK;
}
ULONG addRef(void*) {
    return 1;
}
ULONG release(void*) {
    return 1;
}
OSStatus initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    if (!isUs(driver)) return kAudioHardwareBadObjectError;
#ifdef FAKE_INIT_FAILS
    return kAudioHardwareIllegalOperationError;
#endif
    gHost = host;
    return 0;
}
OSStatus createDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                      const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus destroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus addClient(AudioServerPlugInDriverRef, AudioObjectID, const AudioServerPlugInClientInfo*) {
    std::lock_guard<std::mutex> g(gLock);
    ++gClients;
    return 0;
}
OSStatus removeClient(AudioServerPlugInDriverRef, AudioObjectID,
                      const AudioServerPlugInClientInfo*) {
    std::lock_guard<std::mutex> g(gLock);
    --gClients;
    return 0;
}
OSStatus perform(AudioServerPlugInDriverRef, AudioObjectID device, UInt64 action, void*) {
    std::lock_guard<std::mutex> g(gLock);
    gActions.push_back(action);
    if (device == kDevice && action >= 8000 && action <= 192000 &&
        static_cast<Float64>(action) != gRate.load()) {
        gRate.store(static_cast<Float64>(action));
        if (!gConfig.oneSeed) {  // a new timeline
            gAnchor = mach_absolute_time();
            ++gSeed;
        }
    }
    return 0;
}
OSStatus abortChange(AudioServerPlugInDriverRef, AudioObjectID, UInt64, void*) {
    return 0;
}

struct Qualifier {
    UInt32 size = 0;
    const void* data = nullptr;
};

// Whether an object of class `cls` (derived from 'aobj') passes OwnedObjects' class qualifier.
bool passes(AudioClassID cls, const Qualifier& q) {
    if (gConfig.ignoresQualifiers || q.data == nullptr || q.size < sizeof(AudioClassID))
        return true;
    for (UInt32 at = 0; at + sizeof(AudioClassID) <= q.size; at += sizeof(AudioClassID)) {
        AudioClassID wanted;
        std::memcpy(&wanted, static_cast<const char*>(q.data) + at, sizeof wanted);
        if (wanted == cls || wanted == kAudioObjectClassID) return true;
    }
    return false;
}

AudioObjectID translate(const Qualifier& q) {
    if (gConfig.translatesAnyUID) return kDevice;
    CFStringRef uid = nullptr;
    if (q.data == nullptr || q.size < sizeof uid) return kAudioObjectUnknown;
    std::memcpy(&uid, q.data, sizeof uid);
    CFStringRef own = CFStringCreateWithCString(nullptr, gConfig.uid, kCFStringEncodingUTF8);
    const bool same = uid != nullptr && CFEqual(uid, own);
    CFRelease(own);
    return same ? kDevice : kAudioObjectUnknown;
}

// Writes one property value; returns false for an unknown object or selector.
bool value(AudioObjectID object, const AudioObjectPropertyAddress& a, const Qualifier& q,
           UInt32 capacity, UInt32& size, void* out) {
    auto put = [&](const void* p, UInt32 n) {
        size = n;
        if (out != nullptr) std::memcpy(out, p, std::min(n, capacity));
        return true;
    };
    auto u32 = [&](UInt32 v) { return put(&v, 4); };
    auto str = [&](const char* s) {
        CFStringRef ref = CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
        if (out == nullptr || capacity < sizeof ref) {
            if (ref != nullptr) CFRelease(ref);
            size = sizeof ref;
            return true;
        }
        return put(&ref, sizeof ref);  // the caller releases it
    };
    auto ids = [&](std::initializer_list<AudioObjectID> list) {
        AudioObjectID v[4];
        UInt32 n = 0;
        for (AudioObjectID id : list) v[n++] = id;
        return put(v, n * 4);
    };
    const AudioObjectPropertySelector s = a.mSelector;
    if (object == kAudioObjectPlugInObject) {
        switch (s) {
            case kAudioObjectPropertyClass:
                return u32(kAudioPlugInClassID);
            case kAudioObjectPropertyBaseClass:
                return u32(kAudioObjectClassID);
            case kAudioObjectPropertyOwner:
                return u32(0);
            case kAudioObjectPropertyManufacturer:
                return str("Fake Labs");
            case kAudioObjectPropertyOwnedObjects:
                return passes(kAudioDeviceClassID, q) ? ids({kDevice}) : ids({});
            case kAudioPlugInPropertyDeviceList:
                return ids({kDevice});
            case kAudioPlugInPropertyTranslateUIDToDevice:
                return u32(translate(q));
        }
        return false;
    }
    const UInt32 inCh = gConfig.inputChannels, outCh = gConfig.outputChannels;
    if (object == kDevice) {
        switch (s) {
            case kAudioObjectPropertyClass:
                return u32(kAudioDeviceClassID);
            case kAudioObjectPropertyBaseClass:
                return u32(kAudioObjectClassID);
            case kAudioObjectPropertyOwner:
                return u32(kAudioObjectPlugInObject);
            case kAudioObjectPropertyName:
                return str(gConfig.name);
            case kAudioDevicePropertyDeviceUID:
                return str(gConfig.uid);
            case kAudioDevicePropertyDeviceIsRunning: {
                std::lock_guard<std::mutex> g(gLock);
                return u32(gRunning > 0);
            }
            case kAudioDevicePropertyNominalSampleRate: {
                const Float64 r = gRate.load();
                return put(&r, 8);
            }
            case kAudioDevicePropertyBufferFrameSize:
                return u32(gFrameSize.load());
            case kAudioDevicePropertySafetyOffset:
            case kAudioDevicePropertyLatency:
                return u32(0);
            case kAudioDevicePropertyZeroTimeStampPeriod:
                return u32(gConfig.zeroTimeStampPeriod);
            case kAudioDevicePropertyRelatedDevices:
                return ids({kDevice});
            case kAudioLevelControlPropertyConvertScalarToDecibels: {  // the caller's value,
                                                                       // doubled
                Float32 x = 0;
                if (out != nullptr && capacity >= sizeof x) std::memcpy(&x, out, sizeof x);
                x *= 2;
                return put(&x, sizeof x);
            }
            case kAudioObjectPropertyOwnedObjects:
                if (!passes(kAudioStreamClassID, q)) return ids({});
                [[fallthrough]];
            case kAudioDevicePropertyStreams: {
                const bool wantOut =
                    a.mScope != kAudioObjectPropertyScopeInput || s != kAudioDevicePropertyStreams;
                const bool wantIn =
                    a.mScope != kAudioObjectPropertyScopeOutput || s != kAudioDevicePropertyStreams;
                AudioObjectID v[2];
                UInt32 n = 0;
                if (wantOut && outCh > 0) v[n++] = kOutputStream;
                if (wantIn && inCh > 0) v[n++] = kInputStream;
                return put(v, n * 4);
            }
        }
        return false;
    }
    if ((object == kOutputStream && outCh > 0) || (object == kInputStream && inCh > 0)) {
        switch (s) {
            case kAudioObjectPropertyClass:
                return u32(kAudioStreamClassID);
            case kAudioObjectPropertyOwner:
                return u32(kDevice);
            case kAudioStreamPropertyDirection:
                return u32(object == kInputStream);
            case kAudioStreamPropertyVirtualFormat:
            case kAudioStreamPropertyPhysicalFormat: {
                const auto f = streamFormat(object == kInputStream ? inCh : outCh);
                return put(&f, sizeof f);
            }
        }
    }
    return false;
}

OSStatus getSize(AudioServerPlugInDriverRef, AudioObjectID object, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32 qualifierSize, const void* qualifier,
                 UInt32* size) {
    if (object != kAudioObjectPlugInObject && object != kDevice && object != kOutputStream &&
        object != kInputStream) {
        return kAudioHardwareBadObjectError;
    }
    UInt32 n = 0;
    if (!value(object, *a, {qualifierSize, qualifier}, 0, n, nullptr)) {
        return kAudioHardwareUnknownPropertyError;
    }
    *size = n;
    return 0;
}
OSStatus getData(AudioServerPlugInDriverRef, AudioObjectID object, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32 qualifierSize, const void* qualifier,
                 UInt32 capacity, UInt32* size, void* out) {
    const Qualifier q{qualifierSize, qualifier};
    UInt32 n = 0;
    if (!value(object, *a, q, 0, n, nullptr)) return kAudioHardwareUnknownPropertyError;
    if (capacity < n && n <= 8) return kAudioHardwareBadPropertySizeError;
    value(object, *a, q, capacity, n, out);
    *size = std::min(n, capacity);
    return 0;
}
Boolean hasProperty(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t pid,
                    const AudioObjectPropertyAddress* a) {
    UInt32 size = 0;
    return getSize(d, object, pid, a, 0, nullptr, &size) == 0;
}
OSStatus isSettable(AudioServerPlugInDriverRef, AudioObjectID object, pid_t,
                    const AudioObjectPropertyAddress* a, Boolean* out) {
    *out = object == kDevice && (a->mSelector == kAudioDevicePropertyNominalSampleRate ||
                                 a->mSelector == kAudioDevicePropertyBufferFrameSize);
    return 0;
}
OSStatus setData(AudioServerPlugInDriverRef, AudioObjectID object, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32, const void*, UInt32 size,
                 const void* data) {
    if (object != kDevice) return kAudioHardwareUnsupportedOperationError;
    if (a->mSelector == kAudioDevicePropertyBufferFrameSize && size >= 4) {
        UInt32 frames;
        std::memcpy(&frames, data, 4);
        gFrameSize.store(std::clamp<UInt32>(frames, 16, 4096));
        const AudioObjectPropertyAddress changed{kAudioDevicePropertyBufferFrameSize,
                                                 kAudioObjectPropertyScopeGlobal, 0};
        if (gHost != nullptr) gHost->PropertiesChanged(gHost, kDevice, 1, &changed);
        return 0;
    }
    if (a->mSelector == kAudioDevicePropertyNominalSampleRate && size >= 8) {
        Float64 rate;
        std::memcpy(&rate, data, 8);
        if (rate != 44100.0 && rate != 48000.0 && rate != 96000.0) {
            return kAudioHardwareIllegalOperationError;
        }
        if (rate != gRate.load() && gHost != nullptr) {
            gHost->RequestDeviceConfigurationChange(gHost, kDevice, static_cast<UInt64>(rate),
                                                    nullptr);
        }
        return 0;
    }
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus startIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32) {
    std::lock_guard<std::mutex> g(gLock);
    ++gStarts;
    if (gRunning++ == 0) {
        gAnchor = mach_absolute_time();
        if (!gConfig.oneSeed) ++gSeed;
        std::memset(gRing, 0, sizeof gRing);
    }
    return 0;
}
OSStatus stopIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32) {
    std::lock_guard<std::mutex> g(gLock);
    ++gStops;
    if (gRunning > 0) --gRunning;
    return 0;
}
OSStatus zeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID, UInt32, Float64* sample,
                       UInt64* host, UInt64* seed) {
    gIOThread.store(pthread_self(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> g(gLock);  // anchor, rate and seed of one timeline
    const UInt32 period = gConfig.zeroTimeStampPeriod;
    const double periodNs = period / gRate.load() * 1e9;
    const UInt64 now = mach_absolute_time();
    const auto periods =
        now > gAnchor ? static_cast<UInt64>(static_cast<double>(now - gAnchor) / periodNs) : 0;
    *sample = static_cast<Float64>(periods * period);
    *host = gAnchor + static_cast<UInt64>(static_cast<double>(periods) * periodNs);
    *seed = gSeed;
    return 0;
}
OSStatus willDo(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32 op, Boolean* will,
                Boolean* inPlace) {
    gWillDoAsked.fetch_add(1);
    if (pthread_equal(pthread_self(), gIOThread.load(std::memory_order_relaxed))) {
        gWillDoOnIOThread.fetch_add(1);
    }
    *will =
        op == kAudioServerPlugInIOOperationReadInput || op == kAudioServerPlugInIOOperationWriteMix;
    *inPlace = true;
    return 0;
}
OSStatus begin(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32 op, UInt32,
               const AudioServerPlugInIOCycleInfo*) {
    if (op == kAudioServerPlugInIOOperationCycle) gCycleBegins.fetch_add(1);
    return 0;
}
OSStatus end(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32 op, UInt32,
             const AudioServerPlugInIOCycleInfo*) {
    if (op == kAudioServerPlugInIOOperationCycle) gCycleEnds.fetch_add(1);
    return 0;
}
OSStatus doIO(AudioServerPlugInDriverRef, AudioObjectID, AudioObjectID, UInt32, UInt32 op,
              UInt32 frames, const AudioServerPlugInIOCycleInfo* info, void* main, void*) {
    const bool read = op == kAudioServerPlugInIOOperationReadInput;
    const Float64 start = read ? info->mInputTime.mSampleTime : info->mOutputTime.mSampleTime;
    auto* buffer = static_cast<float*>(main);
    if (read) {
        const UInt32 stall = gStallMs.exchange(0);
        if (stall > 0) {
            timespec pause{static_cast<time_t>(stall / 1000),
                           static_cast<long>(stall % 1000) * 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    const UInt32 channels = read ? gConfig.inputChannels : gConfig.outputChannels;
    {
        std::lock_guard<std::mutex> g(gLock);
        for (UInt32 j = 0; j < frames; ++j) {
            const auto pos = static_cast<int64_t>(std::floor(start)) + j;
            const size_t index = static_cast<size_t>(
                ((pos % static_cast<int64_t>(kRingFrames)) + kRingFrames) % kRingFrames);
            float* slot = gRing + index * kRingChannels;
            for (UInt32 c = 0; c < channels && c < kRingChannels; ++c) {
                if (read) {
                    buffer[j * channels + c] = slot[c];
                } else {
                    slot[c] = buffer[j * channels + c];
                }
            }
        }
    }
    // One IO thread writes records; a record is published by the count that follows it.
    const size_t at = gRecordCount.load(std::memory_order_relaxed);
    if (at < kMaxRecords) {
        gRecords[at] = {op,     info->mIOCycleCounter,
                        start,  info->mCurrentTime.mSampleTime,
                        frames, frames > 0 && channels > 0 ? buffer[0] : 0.f};
        gRecordCount.store(at + 1, std::memory_order_release);
    }
    return 0;
}

}  // namespace

void configure(const Config& config) {
    std::lock_guard<std::mutex> g(gLock);
    gConfig = config;
    gRate.store(config.sampleRate);
    gFrameSize.store(config.frameSize);
    gHost = nullptr;
    gStarts = gStops = gRunning = gClients = 0;
    gActions.clear();
    gAnchor = 0;
    gSeed = 1;
    gWillDoAsked = gWillDoOnIOThread = gCycleBegins = gCycleEnds = 0;
    gRecordCount.store(0);
    gStallMs.store(0);
}

void setStall(UInt32 ms) {
    gStallMs.store(ms);
}

void* create(CFAllocatorRef, CFUUIDRef type) {
    if (!CFEqual(type, kAudioServerPlugInTypeUUID)) return nullptr;
    gInterface = AudioServerPlugInDriverInterface{
        nullptr,       queryInterface, addRef,       release, initialize,  createDevice,
        destroyDevice, addClient,      removeClient, perform, abortChange, hasProperty,
        isSettable,    getSize,        getData,      setData, startIO,     stopIO,
        zeroTimeStamp, willDo,         begin,        doIO,    end};
    return &gInterfacePtr;
}

std::vector<IORecord> ioLog() {
    const size_t n = std::min(gRecordCount.load(std::memory_order_acquire), kMaxRecords);
    return std::vector<IORecord>(gRecords, gRecords + n);
}
int startCount() {
    std::lock_guard<std::mutex> g(gLock);
    return gStarts;
}
int stopCount() {
    std::lock_guard<std::mutex> g(gLock);
    return gStops;
}
int clientCount() {
    std::lock_guard<std::mutex> g(gLock);
    return gClients;
}
std::vector<UInt64> performedActions() {
    std::lock_guard<std::mutex> g(gLock);
    return gActions;
}
OperationCounts operationCounts() {
    return {gWillDoAsked.load(), gWillDoOnIOThread.load(), gCycleBegins.load(), gCycleEnds.load()};
}
pthread_t ioThread() {
    return gIOThread.load(std::memory_order_relaxed);
}
bool hostSet() {
    std::lock_guard<std::mutex> g(gLock);
    return gHost != nullptr;
}

}  // namespace fakeplugin

// The bundle builds export one factory, the function their Info.plist names.
#ifdef FAKE_EXPORT_FACTORY
extern "C" __attribute__((visibility("default"))) void* FAKE_EXPORT_FACTORY(CFAllocatorRef a,
                                                                            CFUUIDRef t) {
#ifdef FAKE_NULL_FACTORY
    (void)a;
    (void)t;
    return nullptr;
#else
    return fakeplugin::create(a, t);
#endif
}
#endif
