#pragma once
// The bridge's clock: monotonic uptime in nanoseconds (host ticks through the host timebase).

#include <mach/mach_time.h>

#include <cstdint>

inline uint64_t uptimeNs() {
    static const mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t tb{1, 1};
        mach_timebase_info(&tb);
        if (tb.numer == 0 || tb.denom == 0) tb = {1, 1};
        return tb;
    }();
    const uint64_t ticks = mach_absolute_time();
    if (timebase.numer == timebase.denom) return ticks;
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<uint64_t>(static_cast<Wide>(ticks) * timebase.numer / timebase.denom);
}
