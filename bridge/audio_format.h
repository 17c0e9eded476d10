#pragma once
// Stream formats and PCM buffers of the capture pipeline: what the capture buffer, the
// converter and the frames to the phone are described in.

#include <CoreAudio/CoreAudioTypes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// Sample formats by their usual numbering; only 32-bit float is supported here.
enum class AudioCommonFormat : uint32_t { otherFormat = 0, pcmFloat32 = 1 };

// The most channels a format may have (the pipeline itself uses 2).
inline constexpr uint32_t kMaxFormatChannels = 8;

class AudioFormat {
  public:
    // A linear PCM format; nothing when the sample format is not supported, the rate is not a
    // finite number above 0 or the channel count is 0 or above kMaxFormatChannels.
    static std::optional<AudioFormat> make(AudioCommonFormat commonFormat, double sampleRate,
                                           uint32_t channels, bool interleaved);

    // The same from a stream description: packed native-endian 32-bit float linear PCM,
    // interleaved or not, with consistent byte counts. Anything else gives nothing.
    static std::optional<AudioFormat> fromStreamDescription(const AudioStreamBasicDescription& d);

    AudioCommonFormat commonFormat() const { return common; }
    double sampleRate() const { return rate; }
    uint32_t channelCount() const { return channels; }
    bool isInterleaved() const { return interleaved; }
    AudioStreamBasicDescription streamDescription() const;

    bool operator==(const AudioFormat&) const = default;

  private:
    AudioFormat(AudioCommonFormat c, double r, uint32_t n, bool i)
        : common(c), rate(r), channels(n), interleaved(i) {}
    AudioCommonFormat common;
    double rate;
    uint32_t channels;
    bool interleaved;
};

// Samples in one format with a fixed frame capacity, allocated once. Non-interleaved formats
// have one channel buffer each; an interleaved format has a single buffer.
class PcmBuffer {
  public:
    // Nothing when the capacity is 0.
    static std::unique_ptr<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

    const AudioFormat& format() const { return fmt; }
    uint32_t frameCapacity() const { return capacity; }
    uint32_t frameLength() const { return length; }
    // Sets the number of valid frames; false (and unchanged) beyond the capacity.
    bool setFrameLength(uint32_t frames);

    // Channel pointers: channelCount() of them, or one when interleaved.
    float* const* floatChannelData() { return channelPointers.data(); }
    const float* const* floatChannelData() const { return channelPointers.data(); }

    // Makes the buffer serve as a new, empty buffer of the given capacity, reusing its memory;
    // false (and unchanged) when the memory it was made with cannot hold that many frames.
    // Lets a real-time caller "create" a buffer per call without allocating.
    bool reuseWithCapacity(uint32_t frameCapacity);
    uint32_t storageFrames() const { return storage; }

  private:
    PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);
    AudioFormat fmt;
    uint32_t storage;
    uint32_t capacity;
    uint32_t length = 0;
    std::vector<float> samples;
    std::vector<float*> channelPointers;
};
