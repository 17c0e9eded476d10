#include "socket_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "protocol.h"

namespace qwipc {
namespace {

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool waitFor(int fd, short events, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        pollfd p{fd, events, 0};
        const int64_t left = deadline - nowMs();
        const int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    if (!fillAddress(path, addr)) return -1;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listenAt(const std::string& path) {
    // Bound and listening under a private name first, then renamed into place: whoever sees the
    // socket at `path` can connect at once. (A path too long for that is bound directly.)
    const std::string staging = path + ".new-" + std::to_string(getpid());
    sockaddr_un addr{};
    const bool staged = fillAddress(staging, addr);
    if (!staged && !fillAddress(path, addr)) return -1;
    const std::string& bound = staged ? staging : path;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    unlink(bound.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 64) != 0 || (staged && rename(staging.c_str(), path.c_str()) != 0)) {
        if (staged) unlink(staging.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

bool sendMessage(int fd, const void* data, size_t size, const int* fds, int nfds, int timeoutMs) {
    if (nfds < 0 || nfds > kMaxPassedFds) return false;
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)];
    if (nfds > 0) {
        std::memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<size_t>(nfds));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<size_t>(nfds));
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<size_t>(nfds));
    }
    for (;;) {
        const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(size)) return true;
        if (n >= 0) return false;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && timeoutMs > 0 &&
            waitFor(fd, POLLOUT, timeoutMs)) {
            timeoutMs = 0;  // one wait only; a peer that still does not read is given up
            continue;
        }
        return false;
    }
}

long receiveMessage(int fd, void* buffer, size_t capacity, int* fds, int maxFds, int* nfds) {
    if (nfds != nullptr) *nfds = 0;
    iovec iov{buffer, capacity};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    int got = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fds != nullptr && got < maxFds) {
                fds[got++] = received;
            } else {
                close(received);
            }
        }
    }
    const bool truncated = n >= 0 && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    if (truncated) {
        for (int i = 0; i < got; ++i) close(fds[i]);
        errno = EMSGSIZE;
        return -1;
    }
    if (nfds != nullptr) *nfds = got;
    return static_cast<long>(n);
}

bool waitReadable(int fd, int timeoutMs) {
    return waitFor(fd, POLLIN, timeoutMs);
}

long roundTrip(int fd, const void* request, size_t size, void* reply, size_t capacity,
               int timeoutMs, int* fds, int maxFds, int* nfds) {
    MsgHeader sent{};
    if (size < sizeof sent || capacity < sizeof sent) return -1;
    std::memcpy(&sent, request, sizeof sent);
    const int64_t deadline = nowMs() + timeoutMs;
    if (!sendMessage(fd, request, size, nullptr, 0, timeoutMs)) return -1;
    for (;;) {
        const int64_t left = deadline - nowMs();
        if (left <= 0 || !waitReadable(fd, static_cast<int>(left))) return -1;
        const long n = receiveMessage(fd, reply, capacity, fds, maxFds, nfds);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < static_cast<long>(sizeof(MsgHeader))) return -1;
        MsgHeader got{};
        std::memcpy(&got, reply, sizeof got);
        if (got.type == static_cast<uint32_t>(MsgType::kReply) && got.seq == sent.seq) return n;
        if (nfds != nullptr) {  // a stray message's descriptors are not ours to keep
            for (int i = 0; i < *nfds; ++i) close(fds[i]);
            *nfds = 0;
        }
    }
}

void MessageWriter::putBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
}

bool MessageReader::getBytes(void* out, size_t size) {
    const uint8_t* p = view(size);
    if (p == nullptr) return false;
    std::memcpy(out, p, size);
    return true;
}

const uint8_t* MessageReader::view(size_t size) {
    if (size > size_ - offset_) return nullptr;
    const uint8_t* p = data_ + offset_;
    offset_ += size;
    return p;
}

}  // namespace qwipc
