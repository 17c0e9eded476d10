#pragma once
// Helper for runs under load: processes that keep CPU cores busy until stopped. Each spins at
// normal priority and dies with the process that started it (PR_SET_PDEATHSIG).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <vector>

class CpuLoad {
  public:
    CpuLoad() = default;
    ~CpuLoad() { stop(); }
    CpuLoad(const CpuLoad&) = delete;
    CpuLoad& operator=(const CpuLoad&) = delete;

    // Starts `processes` spinning processes (in addition to any already running).
    void start(int processes) {
        for (int i = 0; i < processes; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                std::atomic<uint64_t> spin{0};
                for (;;) spin.fetch_add(1, std::memory_order_relaxed);
            }
            if (pid > 0) pids.push_back(pid);
        }
    }

    void stop() {
        for (pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pids.clear();
    }

    bool running() const { return !pids.empty(); }

  private:
    std::vector<pid_t> pids;
};
