// Real-time scheduling for IO threads: SCHED_FIFO where permitted, otherwise the best the
// process may have, without complaint.
#pragma once
#include <cstdint>

namespace qwipc {

inline constexpr int kServerIOPriority = 80;
inline constexpr int kClientIOPriority = 70;

// Raises the calling thread; true when it now runs SCHED_FIFO.
bool makeCurrentThreadRealtime(int priority);

// CLOCK_MONOTONIC in nanoseconds.
uint64_t monotonicNs();

}  // namespace qwipc
