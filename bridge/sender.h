#pragma once
// The sender thread: the only writer of frames to the phone. It drains the send queue, takes the
// current link (its own duplicate of the descriptor, see link_state.h) and writes each frame in
// full, recording the longest single-frame write. A failed write retires that link (never a
// newer one) and drops the rest of the batch; the link supervisor reconnects.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "frame.h"

// One write attempt, shaped like send(2) without the flags; returns the bytes taken or <= 0.
using SendFunction = ssize_t (*)(int fd, const void* data, size_t size);

// send() with MSG_NOSIGNAL: a peer that has gone gives an error (EPIPE), never SIGPIPE.
ssize_t sendWithoutSignal(int fd, const void* data, size_t size);

struct BatchOutcome {
    size_t framesWritten = 0;
    bool hadLink = false;     // a link was present when the batch began
    bool linkFailed = false;  // a write failed; the link was retired if it was still current
};

// Writes one batch, oldest frame first, on the link current at the start of the batch. Without a
// link the batch is dropped unwritten. Each frame gets its own sequence of writes (short writes
// are continued, EINTR retried); `maxWriteMs` is raised to the longest frame's write time.
BatchOutcome sendBatch(const std::vector<Bytes>& batch, std::atomic<double>& maxWriteMs,
                       SendFunction send = sendWithoutSignal);

// The sender thread's body: drains sendQ forever, recording write times in cap.maxWriteMs.
// Never returns.
[[noreturn]] void runSender();
