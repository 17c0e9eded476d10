#include "sender.h"

#include <unistd.h>

#include "common/atomic_max.h"
#include "frame_pool.h"
#include "globals.h"
#include "link_state.h"
#include "uptime_clock.h"

BatchOutcome sendBatch(const std::vector<Bytes>& batch, std::atomic<double>& maxWriteMs,
                       SendFunction send) {
    BatchOutcome outcome;
    const LinkUse link = takeLink();
    if (link.fd < 0) return outcome;  // no link: these frames are dropped
    outcome.hadLink = true;
    suppressSigpipe(link.fd);
    for (const Bytes& frame : batch) {
        const uint64_t t0 = uptimeNs();
        if (!writeWhole(link.fd, frame, send)) {
            outcome.linkFailed = true;
            retireLink(link.generation);
            break;
        }
        qw::raiseAtomicMax(maxWriteMs, static_cast<double>(uptimeNs() - t0) / 1000000.0);
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
