// Host clock. On Linux one tick is one nanosecond of CLOCK_MONOTONIC and the timebase is 1/1.
#pragma once
#include <mach/kern_return.h>
#include <stdint.h>

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

#ifdef __cplusplus
extern "C" {
#endif
__attribute__((visibility("default"))) uint64_t mach_absolute_time(void);
__attribute__((visibility("default"))) kern_return_t mach_timebase_info(mach_timebase_info_t info);
#ifdef __cplusplus
}
#endif
