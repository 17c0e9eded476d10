#pragma once
// The sender thread: the only writer of frames to the phone. It drains the send queue and writes
// each batch in full on the current link, with as few writes as the socket takes. It keeps its own
// duplicate of the link's descriptor (see link_state.h) from one batch to the next and checks,
// under gLock before each batch, that the link is still the published one. A failed write retires
// that link (never a newer one) and drops the rest of the batch; the link supervisor reconnects.

#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <vector>

#include "bridge/capture/frame_sink.h"
#include "bridge/frame.h"
#include "bridge/link_state.h"
#include "bridge/send_queue.h"

struct BatchOutcome {
    size_t framesWritten = 0;
    bool hadLink = false;     // a link was present when the batch began
    bool linkFailed = false;  // a write failed; the link was retired if it was still current
};

class Sender {
  public:
    // `maxWriteMs` is raised to the longest batch write; `write` is the write attempt
    // (sendPartsWithoutSignal, fd_io.h).
    explicit Sender(std::atomic<double>& maxWriteMs,
                    PartsSendFunction write = sendPartsWithoutSignal);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Writes one batch (at most kSendQueueLimit frames), oldest frame first, on the link current
    // at the start of the batch. Without a link the batch is dropped unwritten. Short writes are
    // continued, EINTR retried, SIGPIPE never raised.
    BatchOutcome send(const std::vector<Bytes>& batch);

  private:
    std::atomic<double>& maxWriteMs;
    PartsSendFunction sendParts;
    LinkUse link;  // this sender's own duplicate of the link it last wrote on
    std::array<iovec, kSendQueueLimit> parts{};
};

// The sender thread's body: drains the sink's queue (sendQ) forever, recording write times in
// cap.maxWriteMs and giving every frame's buffer back to the sink's pool. Never returns.
[[noreturn]] void runSender(FrameSink& frames);
