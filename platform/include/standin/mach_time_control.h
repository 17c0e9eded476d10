// Test hook of the Linux host clock stand-in: make mach_absolute_time() count in ticks of
// numer/denom nanoseconds (default 1/1), as a Mac with another timebase would.
#pragma once
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
__attribute__((visibility("default"))) void standinSetMachTimebase(uint32_t numer, uint32_t denom);
#ifdef __cplusplus
}
#endif
