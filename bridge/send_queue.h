#pragma once
// The bounded queue that carries finished frames from the audio thread to the sender thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "bridge/frame.h"
#include "bridge/frame_pool.h"
#include "common/wire_format.h"

// The queue keeps at most this many frames, and at most kSendQueueSampleLimit sample frames
// (1.5 s at 48 kHz), whichever is less; older frames are dropped when the sender lags. On the Mac
// road (about 256 sample frames a frame) the count is the bound; from the sound server, whose
// frames can hold a few dozen sample frames, the time is.
inline constexpr size_t kSendQueueLimit = 256;
inline constexpr size_t kSendQueueSampleLimit = qw::wire::kSampleRate * 3 / 2;

// Sample frames of audio in a whole frame as the bridge makes it (0 for anything shorter than a
// header).
size_t sampleFramesIn(const Bytes& frame);

class SendQueue {
  public:
    SendQueue();

    // Appends a frame, drops the oldest ones beyond the bounds, raises maxDepth and wakes the
    // consumer when the queue was empty. Never waits for anything but the lock (held only for
    // the list operations). Dropped frames go to `dropsTo`'s consumer side (FramePool::keep), so
    // the caller, who takes from that pool, frees nothing; without a pool they are freed here.
    void push(Bytes frame, FramePool* dropsTo = nullptr);

    // Adds `bytes` (whole sample frames) of audio samples to the newest queued frame when it is an
    // audio frame whose buffer has room for them (without allocating) within `mostPayload` payload
    // bytes, then applies the bounds as push does; false, with nothing done, otherwise. For a
    // source of small pieces: while the sender keeps up, the queue is empty and each piece goes out
    // in a frame of its own, as soon as it comes; while the sender lags, pieces join into larger
    // frames, so that the bound in time, not the one in frames, says how much sound the queue
    // holds.
    bool appendAudio(const uint8_t* samples, size_t bytes, size_t mostPayload,
                     FramePool* dropsTo = nullptr);

    // Blocks until at least one frame is queued, then moves every queued frame, oldest first,
    // into `batch` (which must be empty; with a capacity of kSendQueueLimit nothing allocates).
    // `batch` is never empty afterwards.
    void drain(std::vector<Bytes>& batch);
    // The same into a new list.
    std::vector<Bytes> drain();

    // Largest number of frames held at the end of a push since it was last zeroed. Written under
    // the lock by push; read and zeroed without it by the statistics reporter (relaxed order).
    std::atomic<int64_t> maxDepth{0};
    // The same in sample frames (the queue's depth in time); never zeroed, not printed: for tests
    // and measurements.
    std::atomic<int64_t> maxDepthSampleFrames{0};

  private:
    void dropOldest(FramePool* dropsTo);
    // Drops the oldest frames while the queue holds more sound than its bound in time; the newest
    // frame stays.
    void dropBeyondTime(FramePool* dropsTo);
    void recordDepth();

    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Bytes> ring;  // kSendQueueLimit slots; `count` frames from `first`, oldest first
    size_t first = 0;
    size_t count = 0;
    size_t sampleFrames = 0;  // sample frames in the queued frames
};
