// Storage of the driver state. Everything has its value before the factory runs.
#include "driver_state.h"

std::atomic<AudioServerPlugInDriverRef> gDriverRef{nullptr};
UInt32 gRefCount = 0;
std::atomic<AudioServerPlugInHostRef> gHost{nullptr};
pthread_mutex_t gStateMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Float64> gSampleRate{48000.0};
std::atomic<UInt32> gBufferFrameSize{512};
pthread_mutex_t gIOMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<LoopbackRing*> gRing{nullptr};
UInt64 gIOCount = 0;
std::atomic<UInt64> gAnchorHostTime{0};
std::atomic<UInt64> gSeed{1};
std::atomic<UInt32> gTimelineVersion{0};

bool isSupportedSampleRate(Float64 rate) {
    for (Float64 supported : kSupportedSampleRates) {
        if (rate == supported) return true;
    }
    return false;
}
