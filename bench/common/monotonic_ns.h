#pragma once
// CLOCK_MONOTONIC in nanoseconds: the clock the click players stamp their clicks with and the
// receiving app (phone-app --onsets) stamps the arrivals with.

#include <time.h>

#include <cstdint>

inline int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}
