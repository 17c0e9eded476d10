// Figures of one device's IO cycle, recorded by the IO thread without allocation or locks and
// read by the control thread.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

#include "ipc/protocol.h"

namespace audioserver {

// Durations in nanoseconds: 1 us resolution up to 4 ms, 100 us up to 100 ms, then one
// overflow bucket; the maximum is kept exactly.
class DurationHistogram {
  public:
    void record(uint64_t ns);
    uint64_t percentile(double fraction) const;  // upper edge of the bucket holding it
    uint64_t max() const { return max_.load(std::memory_order_relaxed); }
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    void reset();

  private:
    static constexpr uint64_t kFineNs = 1000, kFineBuckets = 4000;
    static constexpr uint64_t kCoarseNs = 100000, kCoarseBuckets = 960;
    static constexpr size_t kBuckets = kFineBuckets + kCoarseBuckets + 1;
    static size_t bucketOf(uint64_t ns);
    static uint64_t upperEdge(size_t bucket);
    std::array<std::atomic<uint32_t>, kBuckets> buckets_{};
    std::atomic<uint64_t> count_{0};
    std::atomic<uint64_t> max_{0};
};

struct IOStatsRecorder {
    DurationHistogram jitter;  // wake-up time minus planned time
    DurationHistogram work;    // wake-up to end of the cycle's work
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> catchUpCycles{0};
    std::atomic<uint64_t> resyncs{0};
    std::atomic<uint64_t> workTotalNs{0};
    std::atomic<uint64_t> underrunFrames{0};

    qwipc::IOStats snapshot() const;
    void reset();
};

}  // namespace audioserver
