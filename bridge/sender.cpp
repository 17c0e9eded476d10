#include "bridge/sender.h"

#include <unistd.h>

#include <algorithm>

#include "bridge/globals.h"
#include "bridge/uptime_clock.h"
#include "common/atomic_max.h"

Sender::Sender(std::atomic<double>& maxWrite, PartsSendFunction write)
    : maxWriteMs(maxWrite), sendParts(write) {}

Sender::~Sender() {
    if (link.fd >= 0) ::close(link.fd);
}

BatchOutcome Sender::send(const std::vector<Bytes>& batch) {
    BatchOutcome outcome;
    if (refreshLink(link)) suppressSigpipe(link.fd);
    if (link.fd < 0) return outcome;  // no link: these frames are dropped
    outcome.hadLink = true;
    const size_t count = std::min(batch.size(), parts.size());
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        parts[i].iov_base = const_cast<uint8_t*>(batch[i].data());
        parts[i].iov_len = batch[i].size();
        total += batch[i].size();
    }
    const uint64_t t0 = uptimeNs();
    const size_t written = writeAllParts(link.fd, std::span(parts.data(), count), sendParts);
    qw::raiseAtomicMax(maxWriteMs, static_cast<double>(uptimeNs() - t0) / 1000000.0);
    for (size_t done = 0; outcome.framesWritten < count; ++outcome.framesWritten) {
        done += batch[outcome.framesWritten].size();
        if (done > written) break;
    }
    if (written < total) {
        outcome.linkFailed = true;
        retireLink(link.generation);
        ::close(link.fd);  // this sender's own duplicate; the next batch takes the new link
        link.fd = -1;
    }
    return outcome;
}

void runSender(FrameSink& frames) {
    Sender sender(cap.maxWriteMs);
    std::vector<Bytes> batch;
    batch.reserve(kSendQueueLimit);
    for (;;) {
        frames.queue.drain(batch);
        sender.send(batch);
        // Written or dropped, each frame's memory goes back to the render callback.
        for (Bytes& frame : batch) frames.pool.recycle(std::move(frame));
        batch.clear();
    }
}
