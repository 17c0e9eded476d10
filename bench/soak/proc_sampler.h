#pragma once
// Open descriptors, threads and resident memory of a running process, read from /proc.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

struct ProcSample {
    double at = 0;  // soak clock, seconds
    int64_t fds = 0;
    int64_t threads = 0;
    int64_t rssKiB = 0;
};

std::optional<ProcSample> sampleProcess(pid_t pid, double at);

// True when the process has the AddressSanitizer or ThreadSanitizer runtime mapped: their
// quarantine and shadow memory make its resident size grow without a leak.
bool runsUnderSanitizer(pid_t pid);

// Growth of one figure after warm-up: the largest sample after `warmUpEnd` minus the first
// sample taken at or after it.
struct Growth {
    int64_t first = 0, min = 0, max = 0, last = 0;
    int64_t growth() const { return max - first; }
    bool valid = false;
};

Growth growthAfter(const std::vector<ProcSample>& samples, double warmUpEnd,
                   int64_t ProcSample::*field);
