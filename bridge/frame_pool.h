#pragma once
// Frame buffers travelling back from the sender to the render callback, so that building a
// frame on the audio thread reuses memory instead of allocating it.
//
// Single producer (whoever gives frames back: the sender thread) and single consumer (the
// audio thread); lock-free, so neither side ever waits for the other. Frames the send queue
// drops on the audio thread stay on the consumer's side (keep), so that thread frees nothing.

#include <atomic>
#include <cstddef>
#include <vector>

#include "bridge/fd_io.h"

// Enough for a full send queue, a batch in the sender's hands and some slack.
inline constexpr size_t kFramePoolSlots = 640;

// Buffers made ready before capture starts: a full send queue (256 frames) waiting while the
// sender is stuck in a write with a full batch of its own, and some slack. With these, a stalled
// sender never makes the audio thread allocate.
inline constexpr size_t kPrefilledFrameBuffers = 2 * 256 + 64;

class FramePool {
  public:
    explicit FramePool(size_t slots = kFramePoolSlots);

    // Consumer: a buffer that held an earlier frame (keeping its capacity), or an empty one
    // when none has come back yet. Contents are unspecified; callers resize and overwrite.
    Bytes take();

    // Producer: gives a buffer back. When the pool is full the buffer is freed here, on the
    // producer's thread.
    void recycle(Bytes&& frame);

    // Consumer: keeps a buffer the consumer no longer needs (a frame the send queue dropped) for
    // one of its own next takes. Allocates nothing and frees nothing while fewer than
    // kFramePoolSlots buffers are kept; beyond that (more buffers than were ever made ready) the
    // buffer is freed here.
    void keep(Bytes&& frame);

    // Consumer side, while the consumer does not run (before capture starts, or while it is
    // stopped to follow a new device rate): makes every buffer waiting here hold at least
    // `bytes`, adds buffers up to `count`, and has the producer grow each buffer it gives back
    // from now on to that size (on the producer's thread), so that the consumer is never handed
    // a buffer too small for frames of the new size.
    void growBuffers(size_t count, size_t bytes);

    // Buffers waiting in the ring (not those growBuffers keeps on the consumer's side).
    size_t available() const;

  private:
    Bytes takeFromRing();

    std::vector<Bytes> slots;
    std::vector<Bytes> grown;             // consumer side: taken before the ring, kept by keep
    std::atomic<size_t> minimumBytes{0};  // the producer grows smaller buffers to this
    std::atomic<size_t> head{0};          // next slot to take; written by the consumer
    std::atomic<size_t> tail{0};          // next slot to fill; written by the producer
};
