// The shared memory of one IO session between the audio server and a client. The server
// creates it (memfd), both sides map it. Every field that both sides touch is an atomic; the
// frames themselves are plain floats whose hand-over is ordered by the positions around them.
//
// Input (capture): each IO cycle the server appends that cycle's input frames to `frames` at
// `inputWritePos`, fills one CycleRecord and then publishes it by raising `cyclesPublished`.
// The client reads records in order; a client that falls more than the ring behind loses the
// overwritten cycles (counted on its side) and never holds the server up.
//
// Output (playback): the client appends frames at `writePos`; each cycle the server takes one IO
// buffer's worth from `readPos` (what is there, silence for the rest) and mixes it. The client
// keeps up to `leadFrames` ahead of the server, topping up whenever the server wakes it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qwipc {

inline constexpr uint32_t kSessionMagic = 0x71777373;  // 'qwss'
inline constexpr uint32_t kSessionVersion = 1;
inline constexpr uint32_t kRingFrames = 65536;  // power of two
inline constexpr uint32_t kCycleSlots = 1024;   // power of two
inline constexpr uint32_t kMaxIOFrames = 4096;  // largest IO buffer the server runs
inline constexpr uint32_t kMaxChannels = 64;

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared atomics must be lock-free");

inline uint64_t doubleBits(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}
inline double bitsDouble(uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// One IO cycle's input, as delivered to the session.
struct CycleRecord {
    std::atomic<uint64_t> ringPos;     // first frame in `frames` (a running count, not an index)
    std::atomic<uint64_t> sampleTime;  // bits of the cycle's input sample time (Float64)
    std::atomic<uint64_t> hostTime;    // host time of that sample time
    std::atomic<uint64_t> readDoneHostTime;  // host time right after ReadInput returned
    std::atomic<uint64_t> cycle;             // server's cycle counter
    std::atomic<uint32_t> frames;
    std::atomic<uint32_t> flags;  // kCycleFirstAfterStart
};
inline constexpr uint32_t kCycleFirstAfterStart = 1;

enum SessionState : uint32_t { kStateStopped = 0, kStateRunning = 1, kStateGone = 2 };

struct SessionShared {
    // Fixed at creation.
    uint32_t magic;
    uint32_t version;
    uint32_t directions;  // SessionDirection bits
    uint32_t inputChannels;
    uint32_t outputChannels;
    uint32_t ringFrames;
    uint32_t cycleSlots;
    uint32_t reserved;

    // Written by the server.
    std::atomic<uint64_t> sampleRate;  // bits of the device's nominal rate
    std::atomic<uint32_t> ioFrameSize;
    std::atomic<uint32_t> state;

    alignas(64) std::atomic<uint64_t> cyclesPublished;  // input records published
    std::atomic<uint64_t> inputWritePos;                // input frames written

    alignas(64) std::atomic<uint64_t> writePos;  // output frames written (client)
    std::atomic<uint32_t> leadFrames;            // how far ahead the client fills (client)
    std::atomic<uint32_t> primed;                // client: the first lead is in place

    alignas(64) std::atomic<uint64_t> readPos;  // output frames taken (server)
    std::atomic<uint64_t> underrunFrames;       // silence mixed in for want of frames
    std::atomic<uint64_t> firstSampleTime;      // bits: output sample time of frame 0
    std::atomic<uint32_t> firstKnown;           // set once firstSampleTime is valid
    // The output clock: output sample time and host time of frame `clockReadPos`, as of the last
    // cycle. A sequence lock (odd while being written) keeps the three values together.
    std::atomic<uint64_t> clockSeq;
    std::atomic<uint64_t> clockReadPos;
    std::atomic<uint64_t> clockSampleTime;
    std::atomic<uint64_t> clockHostTime;

    alignas(64) CycleRecord cycles[kCycleSlots];
    // Followed by the input ring (ringFrames * inputChannels floats), then the output ring
    // (ringFrames * outputChannels floats).
};

inline size_t sessionBytes(uint32_t inputChannels, uint32_t outputChannels) {
    return sizeof(SessionShared) +
           size_t{kRingFrames} * (inputChannels + outputChannels) * sizeof(float);
}
inline float* inputRing(SessionShared* s) {
    return reinterpret_cast<float*>(s + 1);
}
inline float* outputRing(SessionShared* s) {
    return inputRing(s) + size_t{s->ringFrames} * s->inputChannels;
}

// Copies `frames` interleaved frames into / out of a ring of `ringFrames` frames at running
// position `pos`, wrapping at the end.
inline void ringWrite(float* ring, uint32_t ringFrames, uint32_t channels, uint64_t pos,
                      const float* src, uint32_t frames) {
    const uint32_t at = static_cast<uint32_t>(pos & (ringFrames - 1));
    const uint32_t first = frames < ringFrames - at ? frames : ringFrames - at;
    std::memcpy(ring + size_t{at} * channels, src, size_t{first} * channels * sizeof(float));
    std::memcpy(ring, src + size_t{first} * channels,
                size_t{frames - first} * channels * sizeof(float));
}
inline void ringRead(const float* ring, uint32_t ringFrames, uint32_t channels, uint64_t pos,
                     float* dst, uint32_t frames) {
    const uint32_t at = static_cast<uint32_t>(pos & (ringFrames - 1));
    const uint32_t first = frames < ringFrames - at ? frames : ringFrames - at;
    std::memcpy(dst, ring + size_t{at} * channels, size_t{first} * channels * sizeof(float));
    std::memcpy(dst + size_t{first} * channels, ring,
                size_t{frames - first} * channels * sizeof(float));
}

}  // namespace qwipc
