#pragma once
// The bounded queue that carries finished frames from the audio thread to the sender thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "frame.h"

// The queue keeps at most this many frames; older ones are dropped when the sender lags.
inline constexpr size_t kSendQueueLimit = 256;

class SendQueue {
  public:
    SendQueue();

    // Appends a frame, drops the oldest ones beyond kSendQueueLimit, raises maxDepth and wakes
    // the consumer. Never waits for anything but the lock (held only for the list operations).
    void push(Bytes frame);

    // Blocks until at least one frame is queued, then takes every queued frame, oldest first.
    // The result is never empty.
    std::vector<Bytes> drain();

    // Largest number of frames held at the end of a push since it was last zeroed. Written under
    // the lock by push; read and zeroed without it by the statistics reporter (relaxed order).
    std::atomic<int64_t> maxDepth{0};

  private:
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Bytes> items;  // oldest first; capacity kept so push does not reallocate
};
