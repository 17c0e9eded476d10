// Device clock maths: host ticks, nanoseconds and the zero time stamps of the device.
#pragma once
#include <CoreFoundation/CFBase.h>
#include <mach/mach_time.h>

#include "osutil/host_time.h"

struct ZeroTimeStamp {
    Float64 sampleTime;
    UInt64 hostTime;
};

// The latest period boundary at or before `now`, counting from `anchor` (sample time 0 there).
// A `now` before the anchor (an anchor set by another thread after `now` was read) counts as
// the anchor itself.
inline ZeroTimeStamp zeroTimeStampAt(UInt64 now, UInt64 anchor, Float64 sampleRate,
                                     UInt32 periodFrames,
                                     const mach_timebase_info_data_t& timebase) {
    const UInt64 nowNanos = qw::hostTicksToNs(now, timebase);
    const UInt64 anchorNanos = qw::hostTicksToNs(anchor, timebase);
    const UInt64 elapsedNanos = nowNanos > anchorNanos ? nowNanos - anchorNanos : 0;
    const Float64 elapsedSeconds = static_cast<Float64>(elapsedNanos) / 1000000000.0;
    const Float64 periodSeconds = periodFrames / sampleRate;
    const auto periods = static_cast<UInt64>(elapsedSeconds / periodSeconds);
    const auto offsetNanos =
        static_cast<UInt64>(static_cast<Float64>(periods) * periodSeconds * 1000000000.0);
    return {static_cast<Float64>(periods * periodFrames),
            anchor + qw::nsToHostTicks(offsetNanos, timebase)};
}
