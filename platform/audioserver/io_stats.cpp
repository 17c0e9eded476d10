#include "io_stats.h"

#include <algorithm>

namespace audioserver {

size_t DurationHistogram::bucketOf(uint64_t ns) {
    if (ns < kFineNs * kFineBuckets) return ns / kFineNs;
    const uint64_t coarse = (ns - kFineNs * kFineBuckets) / kCoarseNs;
    return coarse < kCoarseBuckets ? kFineBuckets + coarse : kBuckets - 1;
}

uint64_t DurationHistogram::upperEdge(size_t bucket) {
    if (bucket < kFineBuckets) return (bucket + 1) * kFineNs;
    return kFineNs * kFineBuckets + (bucket - kFineBuckets + 1) * kCoarseNs;
}

void DurationHistogram::record(uint64_t ns) {
    buckets_[bucketOf(ns)].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = max_.load(std::memory_order_relaxed);
    while (ns > seen && !max_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
    }
}

uint64_t DurationHistogram::percentile(double fraction) const {
    const uint64_t total = count();
    if (total == 0) return 0;
    const auto wanted = static_cast<uint64_t>(fraction * static_cast<double>(total - 1)) + 1;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        seen += buckets_[b].load(std::memory_order_relaxed);
        if (seen >= wanted) return b == kBuckets - 1 ? max() : std::min(upperEdge(b), max());
    }
    return max();
}

void DurationHistogram::reset() {
    for (auto& b : buckets_) b.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_relaxed);
    max_.store(0, std::memory_order_relaxed);
}

qwipc::IOStats IOStatsRecorder::snapshot() const {
    qwipc::IOStats s{};
    s.mCycles = cycles.load(std::memory_order_relaxed);
    s.mWakeUps = jitter.count();
    s.mCatchUpCycles = catchUpCycles.load(std::memory_order_relaxed);
    s.mResyncs = resyncs.load(std::memory_order_relaxed);
    s.mJitterP50 = jitter.percentile(0.50);
    s.mJitterP99 = jitter.percentile(0.99);
    s.mJitterMax = jitter.max();
    s.mWorkP50 = work.percentile(0.50);
    s.mWorkP99 = work.percentile(0.99);
    s.mWorkMax = work.max();
    s.mWorkTotal = workTotalNs.load(std::memory_order_relaxed);
    s.mUnderrunFrames = underrunFrames.load(std::memory_order_relaxed);
    return s;
}

void IOStatsRecorder::reset() {
    jitter.reset();
    work.reset();
    cycles.store(0, std::memory_order_relaxed);
    catchUpCycles.store(0, std::memory_order_relaxed);
    resyncs.store(0, std::memory_order_relaxed);
    workTotalNs.store(0, std::memory_order_relaxed);
    underrunFrames.store(0, std::memory_order_relaxed);
}

}  // namespace audioserver
