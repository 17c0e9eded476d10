#pragma once
// Takes the bridge's frame stream apart as its bytes arrive, in pieces of any size. Audio
// payloads go to a sink in whole stereo frames; report frames and frames of unknown type are
// skipped. Holds at most one partial header and one partial sample frame between calls, so no
// input can make it grow.

#include <cstddef>
#include <cstdint>

#include "common/wire_format.h"

namespace qw::receiver {

// Receives the audio of the stream: `frames` interleaved stereo samples, 16-bit little-endian;
// and the end of each audio frame, once its payload has all arrived.
class AudioSink {
  public:
    virtual void onAudio(const uint8_t* samples, size_t frames) = 0;
    virtual void onAudioFrameEnd() {}

  protected:
    ~AudioSink() = default;
};

class StreamReader {
  public:
    struct Counts {
        uint64_t audioFrames = 0;           // audio frames (whole frames of the stream) delivered
        uint64_t badPayloads = 0;           // audio payloads that were not whole stereo frames
        uint64_t skippedFrames = 0;         // reports and unknown types
        uint64_t completedAudioFrames = 0;  // audio frames whose payload has all arrived
        uint32_t lastAudioFrames = 0;       // stereo frames in the latest audio frame
    };

    // Feeds bytes; false once the stream is broken (a length of 0 or above 65536), after which
    // every further call returns false until reset(). Never allocates.
    bool feed(const uint8_t* data, size_t size, AudioSink& sink);

    // Forgets everything: the next byte starts a frame.
    void reset();

    bool broken() const { return state_ == State::broken; }
    const Counts& counts() const { return counts_; }

  private:
    enum class State { header, audio, skip, broken };

    size_t takeHeader(const uint8_t* data, size_t size);
    size_t takeAudio(const uint8_t* data, size_t size, AudioSink& sink);

    State state_ = State::header;
    uint8_t header_[wire::kHeaderSize] = {};
    size_t headerFill_ = 0;
    uint32_t remaining_ = 0;  // payload bytes of the current frame still to come
    uint8_t partial_[wire::kBytesPerFrame] = {};
    size_t partialFill_ = 0;
    Counts counts_;
};

}  // namespace qw::receiver
