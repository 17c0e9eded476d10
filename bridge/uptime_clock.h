#pragma once
// The bridge's clock: monotonic uptime in nanoseconds (host ticks through the host timebase).

#include <cstdint>

#include "osutil/host_time.h"

inline uint64_t uptimeNs() {
    return qw::hostNowNs();
}
