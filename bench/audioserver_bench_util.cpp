#include "audioserver_bench_util.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <fstream>
#include <thread>

namespace qwbench {

void bareSleepJitter(double seconds, double periodNs, Histogram& late) {
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param p{};
        p.sched_priority = 80;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
        const uint64_t start = nowNs();
        const auto cycles = static_cast<uint64_t>(seconds * 1e9 / periodNs);
        for (uint64_t k = 1; k <= cycles; ++k) {
            const auto planned = start + static_cast<uint64_t>(static_cast<double>(k) * periodNs);
            timespec ts{static_cast<time_t>(planned / 1000000000u),
                        static_cast<long>(planned % 1000000000u)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            const uint64_t woke = nowNs();
            late.record(woke > planned ? woke - planned : 0);
        }
    });
    t.join();
}

uint64_t processCpuNs(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    uint64_t total = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(dir + "/" + e->d_name + "/schedstat");
            uint64_t ns = 0;
            if (in >> ns) total += ns;
        }
        closedir(d);
    }
    return total;
}

}  // namespace qwbench
