#include "bridge/link_state.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int32_t gTunnels = -1;
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
bool tcpMode = false;
std::string tcpHost = "127.0.0.1";

namespace {

uint64_t gLinkGeneration = 0;  // generation of the link last published; guarded by gLock

class LockGuard {
  public:
    LockGuard() { pthread_mutex_lock(&gLock); }
    ~LockGuard() { pthread_mutex_unlock(&gLock); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

}  // namespace

uint64_t publishLink(int fd) {
    LockGuard lock;
    gTunnels = fd;
    return ++gLinkGeneration;
}

int32_t currentTunnel() {
    LockGuard lock;
    return gTunnels;
}

LinkUse takeLink() {
    LockGuard lock;
    if (gTunnels < 0) return {};
    // While gLock is held nobody can close gTunnels, so the duplicate is of the right socket.
    return {::fcntl(gTunnels, F_DUPFD_CLOEXEC, 0), gLinkGeneration};
}

bool refreshLink(LinkUse& use) {
    LockGuard lock;
    if (use.fd >= 0 && gTunnels >= 0 && use.generation == gLinkGeneration) return false;
    if (use.fd >= 0) ::close(use.fd);  // the caller's own duplicate: no one else has its number
    use = {};
    if (gTunnels < 0) return false;
    use = {::fcntl(gTunnels, F_DUPFD_CLOEXEC, 0), gLinkGeneration};
    return use.fd >= 0;
}

bool retireLink(uint64_t generation) {
    LockGuard lock;
    if (gTunnels < 0 || generation != gLinkGeneration) return false;
    ::shutdown(gTunnels, SHUT_RDWR);
    ::close(gTunnels);
    gTunnels = -1;
    return true;
}
