#include "sender.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "frame_pool.h"
#include "globals.h"
#include "link_state.h"
#include "uptime_clock.h"

namespace {

bool writeFrame(int fd, const Bytes& frame, SendFunction send) {
    size_t offset = 0;
    while (offset < frame.size()) {
        const ssize_t n = send(fd, frame.data() + offset, frame.size() - offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        offset += static_cast<size_t>(n);
    }
    return true;
}

void raiseTo(std::atomic<double>& maximum, double value) {
    if (maximum.load(std::memory_order_relaxed) < value) {
        maximum.store(value, std::memory_order_relaxed);
    }
}

}  // namespace

ssize_t sendWithoutSignal(int fd, const void* data, size_t size) {
#if defined(__APPLE__)
    return ::send(fd, data, size, 0);  // the socket carries SO_NOSIGPIPE (sendBatch sets it)
#else
    return ::send(fd, data, size, MSG_NOSIGNAL);
#endif
}

BatchOutcome sendBatch(const std::vector<Bytes>& batch, std::atomic<double>& maxWriteMs,
                       SendFunction send) {
    BatchOutcome outcome;
    const LinkUse link = takeLink();
    if (link.fd < 0) return outcome;  // no link: these frames are dropped
    outcome.hadLink = true;
#if defined(__APPLE__)
    int on = 1;
    ::setsockopt(link.fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    for (const Bytes& frame : batch) {
        const uint64_t t0 = uptimeNs();
        if (!writeFrame(link.fd, frame, send)) {
            outcome.linkFailed = true;
            retireLink(link.generation);
            break;
        }
        raiseTo(maxWriteMs, static_cast<double>(uptimeNs() - t0) / 1000000.0);
        ++outcome.framesWritten;
    }
    ::close(link.fd);
    return outcome;
}

void runSender() {
    for (;;) {
        std::vector<Bytes> batch = sendQ.drain();
        sendBatch(batch, cap.maxWriteMs);
        // Written or dropped, each frame's memory goes back to the render callback.
        for (Bytes& frame : batch) gFramePool.recycle(std::move(frame));
    }
}
