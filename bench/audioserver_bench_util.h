// Shared pieces of the audio server benchmarks: a latency histogram, a duration option, child
// processes that load both cores, and the bare real-time sleep that is the baseline for the IO
// cycle's wake-up jitter.
#pragma once
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qwbench {

inline uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Measurement length: --duration=SECONDS on the command line (taken out before the benchmark
// library sees it), else $QW_BENCH_SECONDS, else 60.
inline double& durationSeconds() {
    static double seconds = [] {
        const char* env = std::getenv("QW_BENCH_SECONDS");
        return env != nullptr ? std::atof(env) : 60.0;
    }();
    return seconds;
}
inline void takeDurationOption(int& argc, char** argv) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--duration=", 11) == 0) {
            durationSeconds() = std::atof(argv[i] + 11);
        } else {
            argv[out++] = argv[i];
        }
    }
    argc = out;
}

// Durations in 1 us buckets up to 100 ms; safe to record from one thread while nobody reads.
class Histogram {
  public:
    void record(uint64_t ns) {
        const uint64_t us = ns / 1000;
        buckets_[us < kBuckets ? us : kBuckets - 1].fetch_add(1, std::memory_order_relaxed);
        uint64_t seen = max_.load(std::memory_order_relaxed);
        while (ns > seen && !max_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
        }
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    double percentileUs(double fraction) const {
        const uint64_t total = count_.load();
        if (total == 0) return 0;
        const auto wanted = static_cast<uint64_t>(fraction * static_cast<double>(total - 1)) + 1;
        uint64_t seen = 0;
        for (size_t b = 0; b < kBuckets; ++b) {
            seen += buckets_[b].load(std::memory_order_relaxed);
            if (seen >= wanted) return static_cast<double>(b) + 1.0;
        }
        return maxUs();
    }
    double maxUs() const { return static_cast<double>(max_.load()) / 1000.0; }
    uint64_t count() const { return count_.load(); }

  private:
    static constexpr size_t kBuckets = 100000;
    std::array<std::atomic<uint32_t>, kBuckets> buckets_{};
    std::atomic<uint64_t> max_{0};
    std::atomic<uint64_t> count_{0};
};

// Two busy processes at normal priority: both cores loaded.
class CoreLoad {
  public:
    explicit CoreLoad(bool on) {
        if (!on) return;
        for (int i = 0; i < 2; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile uint64_t x = 0;
                for (;;) x = x + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~CoreLoad() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }

  private:
    std::vector<pid_t> pids_;
};

// The floor: a SCHED_FIFO thread sleeping to absolute deadlines one IO period apart, measuring
// how late it wakes. Same clock, same priority as the server's IO thread.
void bareSleepJitter(double seconds, double periodNs, Histogram& late);

// Host CPU time (ns) used by all threads of a process so far, from /proc/<pid>/task/*/schedstat.
uint64_t processCpuNs(pid_t pid);

}  // namespace qwbench
