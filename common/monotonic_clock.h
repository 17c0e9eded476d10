#pragma once
// The monotonic clock in nanoseconds, for the programs that pace or time themselves with it.

#include <time.h>

#include <cstdint>

namespace qw {

inline int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace qw
