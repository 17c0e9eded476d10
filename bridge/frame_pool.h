#pragma once
// Frame buffers travelling back from the sender to the render callback, so that building a
// frame on the audio thread reuses memory instead of allocating it.
//
// Single producer (whoever gives frames back: the sender thread) and single consumer (the
// audio thread); lock-free, so neither side ever waits for the other.

#include <atomic>
#include <cstddef>
#include <vector>

#include "fd_io.h"

// Enough for a full send queue, a batch in the sender's hands and some slack.
inline constexpr size_t kFramePoolSlots = 640;

class FramePool {
  public:
    explicit FramePool(size_t slots = kFramePoolSlots);

    // Consumer: a buffer that held an earlier frame (keeping its capacity), or an empty one
    // when none has come back yet. Contents are unspecified; callers resize and overwrite.
    Bytes take();

    // Producer: gives a buffer back. When the pool is full the buffer is freed here, on the
    // producer's thread.
    void recycle(Bytes&& frame);

    // Set-up, before the producer and consumer threads run: adds `count` buffers with
    // `bytes` of capacity each (as far as the pool has room).
    void prefill(size_t count, size_t bytes);

    size_t available() const;

  private:
    std::vector<Bytes> slots;
    std::atomic<size_t> head{0};  // next slot to take; written by the consumer
    std::atomic<size_t> tail{0};  // next slot to fill; written by the producer
};

// The program's pool: the render callback takes from it, the sender gives every frame it has
// written or dropped back to it.
extern FramePool gFramePool;
