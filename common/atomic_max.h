#pragma once
// Raises an atomic maximum to a value, lock-free and safe on real-time threads. Uses a
// compare-exchange so that a reader taking and zeroing the maximum at the same moment never
// makes a higher value go unrecorded.

#include <atomic>

namespace qw {

template <typename T>
void raiseAtomicMax(std::atomic<T>& maximum, T value) {
    T seen = maximum.load(std::memory_order_relaxed);
    while (seen < value && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace qw
