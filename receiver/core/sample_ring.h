#pragma once
// The receiver's store of stereo frames between the connection and the output: one producer
// (the thread feeding the connection's bytes) and one consumer (the output's pull), lock-free.
// Memory is allocated once. A flush, asked for by the producer, discards everything written
// before it; the consumer carries it out at its next read, so neither side ever waits.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qw::receiver {

class SampleRing {
  public:
    explicit SampleRing(size_t capacityFrames);  // rounded up to a power of two

    size_t capacity() const { return mask_ + 1; }

    // Producer: appends up to `frames` frames of 16-bit little-endian stereo; returns how many
    // fitted (the rest is dropped by the caller's count).
    size_t write(const uint8_t* samples, size_t frames);
    // Producer: everything written so far is stale. Returns the new flush count.
    uint32_t flush();

    // Consumer: applies a pending flush; returns true if one was applied since the last call.
    bool takeFlush();
    // Frames ready to be read (either side may ask; the producer sees a flush only once it is
    // carried out).
    size_t readable() const;
    // Consumer: the longest run of readable frames without wrapping, as interleaved floats.
    const float* readPointer(size_t& frames) const;
    void consume(size_t frames);
    // Consumer: drops the oldest frames so that `keep` remain; returns how many were dropped.
    size_t dropOldest(size_t keep);

  private:
    std::vector<float> data_;
    size_t mask_;
    std::atomic<uint64_t> write_{0};
    std::atomic<uint64_t> read_{0};
    std::atomic<uint64_t> flushPoint_{0};
    std::atomic<uint32_t> flushes_{0};
    uint32_t flushesSeen_ = 0;  // consumer's own
};

}  // namespace qw::receiver
