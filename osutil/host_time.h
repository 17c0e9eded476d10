#pragma once
// The host clock: ticks of mach_absolute_time and nanoseconds, through the host timebase.

#include <mach/mach_time.h>

#include <atomic>
#include <cstdint>

namespace qw {

// The host timebase (numer/denom), fetched on first need; a timebase the system cannot give
// counts as 1/1. Lock-free after the first call and safe on real-time threads: every thread
// that finds the cache empty stores the same value.
inline mach_timebase_info_data_t hostTimebase() {
    static std::atomic<uint64_t> cache{0};  // numer << 32 | denom; 0 until fetched
    uint64_t bits = cache.load(std::memory_order_relaxed);
    if (bits == 0) {
        mach_timebase_info_data_t info{};
        if (mach_timebase_info(&info) != KERN_SUCCESS || info.numer == 0 || info.denom == 0) {
            info = {1, 1};
        }
        bits = uint64_t{info.numer} << 32 | info.denom;
        cache.store(bits, std::memory_order_relaxed);
    }
    return {static_cast<uint32_t>(bits >> 32), static_cast<uint32_t>(bits)};
}

// Multiplication first, in 128 bits, then a truncating division: exact for any 64-bit result.
constexpr uint64_t hostTicksToNs(uint64_t ticks, const mach_timebase_info_data_t& timebase) {
    if (timebase.numer == timebase.denom) return ticks;
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<uint64_t>(static_cast<Wide>(ticks) * timebase.numer / timebase.denom);
}

constexpr uint64_t nsToHostTicks(uint64_t ns, const mach_timebase_info_data_t& timebase) {
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<uint64_t>(static_cast<Wide>(ns) * timebase.denom / timebase.numer);
}

inline uint64_t hostTicksToNs(uint64_t ticks) {
    return hostTicksToNs(ticks, hostTimebase());
}

// The host clock now, in nanoseconds.
inline uint64_t hostNowNs() {
    return hostTicksToNs(mach_absolute_time());
}

}  // namespace qw
