// Stand-in only: what the Linux audio server offers beyond the platform's own calls. Tools,
// tests and benchmarks use it; the product does not.
#pragma once
#include <AudioToolbox/AudioUnit.h>
#include <CoreAudio/AudioHardware.h>

// Output-unit properties, global scope, element 0.
CA_ENUM(AudioUnitPropertyID){
    // UInt32, settable before start: frames an output unit keeps queued ahead of the server's
    // IO cycle (default: three IO buffers). More lead rides out longer stalls of the app.
    kStandinUnitProperty_OutputLeadFrames = 0x71770001,
    // StandinCycleInfo, readable inside the input callback: the IO cycle being delivered.
    kStandinUnitProperty_CurrentCycle = 0x71770002,
    // StandinUnitCounters, readable any time.
    kStandinUnitProperty_Counters = 0x71770003,
};

struct StandinCycleInfo {
    UInt64 mCycle;              // the server's IO cycle counter
    UInt64 mReadInputHostTime;  // host time right after the device's ReadInput returned
    Float64 mSampleTime;        // input sample time of the cycle's first frame
    UInt32 mFrames;
    UInt32 mFirstAfterStart;  // 1 on the first cycle after the device's IO (re)started
};
typedef struct StandinCycleInfo StandinCycleInfo;

struct StandinUnitCounters {
    UInt64 mInputCycles;             // input cycles handed to the input callback
    UInt64 mSkippedInputCycles;      // cycles overwritten before this unit could take them
    UInt64 mOutputFrames;            // frames the render callback produced
    UInt64 mUnderrunFrames;          // silence the server mixed in for want of this unit's frames
    Float64 mFirstOutputSampleTime;  // device output sample time of the first frame played
    UInt32 mFirstOutputKnown;
    UInt32 mDeviceGone;  // the server or the device went away while running
};
typedef struct StandinUnitCounters StandinUnitCounters;

// IO cycle figures of one device, kept by the server. Times in nanoseconds.
struct StandinDeviceIOStats {
    UInt64 mCycles;
    UInt64 mWakeUps;
    UInt64 mCatchUpCycles;
    UInt64 mResyncs;
    UInt64 mJitterP50;
    UInt64 mJitterP99;
    UInt64 mJitterMax;
    UInt64 mWorkP50;
    UInt64 mWorkP99;
    UInt64 mWorkMax;
    UInt64 mWorkTotal;
    UInt64 mUnderrunFrames;
    UInt32 mIOFrameSize;
    UInt32 mRunning;
    Float64 mSampleRate;
};
typedef struct StandinDeviceIOStats StandinDeviceIOStats;

CF_EXTERN_C_BEGIN
// Reads (and with inReset, restarts) a device's IO cycle figures.
CF_EXPORT OSStatus StandinGetDeviceIOStats(AudioObjectID inDevice, Boolean inReset,
                                           StandinDeviceIOStats* outStats);
CF_EXTERN_C_END
