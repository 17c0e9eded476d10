#include "realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

namespace qwipc {

bool makeCurrentThreadRealtime(int priority) {
    // Timer slack would add up to 50 us to every wake-up of a thread that is not real-time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
    setpriority(PRIO_PROCESS, 0, -15);  // ignored when not permitted
    return false;
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace qwipc
