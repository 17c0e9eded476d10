// A small loopback plug-in for testing the audio server: a configurable device whose IO
// operations, clock calls and configuration changes are recorded for the test to inspect.
// Local object IDs differ from the driver's on purpose: plug-in 1, device 7, output stream 8,
// input stream 9.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>
#include <pthread.h>

#include <cstdint>
#include <vector>

namespace fakeplugin {

inline constexpr AudioObjectID kDevice = 7;
inline constexpr AudioObjectID kOutputStream = 8;
inline constexpr AudioObjectID kInputStream = 9;

struct Config {
    const char* name = "Fake Loopback";
    const char* uid = "FAKE_UID";
    UInt32 inputChannels = 2;   // 0: no input stream
    UInt32 outputChannels = 2;  // 0: no output stream
    UInt32 frameSize = 256;
    Float64 sampleRate = 48000.0;
    bool integerFormat = false;  // streams in 16-bit integers: not runnable
    UInt32 stallMs = 0;          // the first ReadInput after this is set sleeps this long
    UInt32 zeroTimeStampPeriod = 12000;
    // Rules a plug-in can break, for the server's checks: one seed for every timeline (a rate
    // change keeps the anchor), OwnedObjects deaf to its class qualifier, every UID translated
    // to the device.
    bool oneSeed = false;
    bool ignoresQualifiers = false;
    bool translatesAnyUID = false;
};

struct IORecord {
    UInt32 operation;
    UInt64 cycle;
    Float64 sampleTime;  // of the operation (input time for 'read', output time for 'rite')
    Float64 mainTime;
    UInt32 frames;
    float firstSample;  // first value of the buffer ('rite': what the server mixed)
};

// Resets all state and applies the configuration (before the factory is called).
void configure(const Config& config);
void setStall(UInt32 ms);

// The factory (exported under the name its Info.plist gives only by the bundle builds).
void* create(CFAllocatorRef allocator, CFUUIDRef type);

std::vector<IORecord> ioLog();
int startCount();
int stopCount();
int clientCount();                       // AddDeviceClient minus RemoveDeviceClient
std::vector<UInt64> performedActions();  // PerformDeviceConfigurationChange actions
// WillDoIOOperation calls, each asked from the IO thread or not; Begin/EndIOOperation('cycl').
struct OperationCounts {
    int willDoAsked = 0;
    int willDoAskedOnIOThread = 0;
    int cycleBegins = 0;
    int cycleEnds = 0;
};
OperationCounts operationCounts();
bool hostSet();
// The thread that last asked for a zero time stamp: the server's IO thread.
pthread_t ioThread();

}  // namespace fakeplugin
