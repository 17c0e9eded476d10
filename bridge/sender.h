#pragma once
// The sender thread: the only writer of frames to the phone. It drains the send queue, takes the
// current link (its own duplicate of the descriptor, see link_state.h) and writes each frame in
// full, recording the longest single-frame write. A failed write retires that link (never a
// newer one) and drops the rest of the batch; the link supervisor reconnects.

#include <atomic>
#include <cstddef>
#include <vector>

#include "frame.h"

struct BatchOutcome {
    size_t framesWritten = 0;
    bool hadLink = false;     // a link was present when the batch began
    bool linkFailed = false;  // a write failed; the link was retired if it was still current
};

// Writes one batch, oldest frame first, on the link current at the start of the batch. Without a
// link the batch is dropped unwritten. Each frame gets its own sequence of writes (writeWhole in
// fd_io.h: short writes continued, EINTR retried, never SIGPIPE); `maxWriteMs` is raised to the
// longest frame's write time. `send` is the write attempt (sendWithoutSignal, fd_io.h).
BatchOutcome sendBatch(const std::vector<Bytes>& batch, std::atomic<double>& maxWriteMs,
                       SendFunction send = sendWithoutSignal);

// The sender thread's body: drains sendQ forever, recording write times in cap.maxWriteMs.
// Never returns.
[[noreturn]] void runSender();
