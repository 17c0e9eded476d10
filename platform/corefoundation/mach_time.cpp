// Host clock: CLOCK_MONOTONIC nanoseconds, expressed in ticks of the current timebase.
#include <mach/mach_time.h>
#include <standin/mach_time_control.h>
#include <time.h>

#include <atomic>

namespace {
__extension__ typedef unsigned __int128 Wide;
std::atomic<uint64_t> gTimebaseBits{(uint64_t{1} << 32) | 1};  // numer << 32 | denom
}  // namespace

void standinSetMachTimebase(uint32_t numer, uint32_t denom) {
    if (numer == 0 || denom == 0) return;
    gTimebaseBits.store((uint64_t{numer} << 32) | denom, std::memory_order_relaxed);
}

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    const uint64_t bits = gTimebaseBits.load(std::memory_order_relaxed);
    info->numer = static_cast<uint32_t>(bits >> 32);
    info->denom = static_cast<uint32_t>(bits);
    return KERN_SUCCESS;
}

uint64_t mach_absolute_time(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const Wide ns = static_cast<Wide>(ts.tv_sec) * 1000000000u + static_cast<unsigned>(ts.tv_nsec);
    const uint64_t bits = gTimebaseBits.load(std::memory_order_relaxed);
    return static_cast<uint64_t>(ns * static_cast<uint32_t>(bits) / (bits >> 32));
}
