#pragma once
// Helper for long multi-process runs (the soak, the latency report): runs a function as PID 1
// of a new PID namespace, inside private mount and network namespaces (private_namespaces.h:
// /run is a fresh tmpfs, the network only its own loopback) with that namespace's /proc
// mounted. When the calling process ends, however it ends, the kernel ends the function's
// process and with it every process it started, so nothing outlives the run.
//
// SIGTERM and SIGINT sent to the caller are passed on; the function sees them through
// isolatedRunStopRequested(). Call before starting any thread.

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "private_namespaces.h"

namespace isolated_run_detail {
inline std::atomic<bool> gStop{false};
inline pid_t gInner = -1;
inline void onStopInner(int) {
    gStop.store(true);
}
inline void onStopOuter(int sig) {
    if (gInner > 0) ::kill(gInner, sig);
}
}  // namespace isolated_run_detail

inline bool isolatedRunStopRequested() {
    return isolated_run_detail::gStop.load();
}

inline const std::atomic<bool>& isolatedRunStopFlag() {
    return isolated_run_detail::gStop;
}

// Returns the function's result, 77 when the namespaces are not permitted (not root), 1 when
// they fail otherwise. Problems are printed on standard output, prefixed with `who`.
inline int runIsolated(const char* who, const std::function<int()>& body) {
    using namespace isolated_run_detail;
    bool denied = false;
    std::string error = enterPrivateNamespaces(&denied);
    if (error.empty() && ::unshare(CLONE_NEWPID) != 0) {
        denied = errno == EPERM;
        error = std::string("unshare(CLONE_NEWPID): ") + std::strerror(errno);
    }
    if (!error.empty()) {
        std::printf("%s: cannot enter private namespaces (%s)%s\n", who, error.c_str(),
                    denied ? "; run as root" : "");
        return denied ? 77 : 1;
    }
    std::fflush(stdout);
    gInner = ::fork();
    if (gInner < 0) return 1;
    if (gInner == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::mount("proc", "/proc", "proc", 0, nullptr) != 0) {
            std::printf("%s: mounting /proc: %s\n", who, std::strerror(errno));
            std::fflush(stdout);
            std::_Exit(1);
        }
        struct sigaction sa {};
        sa.sa_handler = onStopInner;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        const int rc = body();
        std::fflush(stdout);
        std::_Exit(rc);
    }
    struct sigaction sa {};
    sa.sa_handler = onStopOuter;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    int status = 0;
    while (::waitpid(gInner, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
