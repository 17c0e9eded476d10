#include "bridge/audio_format.h"

#include <cmath>

std::optional<AudioFormat> AudioFormat::make(AudioCommonFormat commonFormat, double sampleRate,
                                             uint32_t channels, bool interleaved) {
    if (commonFormat != AudioCommonFormat::pcmFloat32) return std::nullopt;
    if (!std::isfinite(sampleRate) || sampleRate <= 0) return std::nullopt;
    if (channels == 0 || channels > kMaxFormatChannels) return std::nullopt;
    return AudioFormat(commonFormat, sampleRate, channels, interleaved);
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(
    const AudioStreamBasicDescription& d) {
    const bool nonInterleaved = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const uint32_t frameBytes = nonInterleaved ? 4 : 4 * d.mChannelsPerFrame;
    const uint32_t required = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    if (d.mFormatID != kAudioFormatLinearPCM || (d.mFormatFlags & required) != required ||
        (d.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0 || d.mBitsPerChannel != 32 ||
        d.mFramesPerPacket != 1 || d.mBytesPerFrame != frameBytes ||
        d.mBytesPerPacket != frameBytes) {
        return std::nullopt;
    }
    return make(AudioCommonFormat::pcmFloat32, d.mSampleRate, d.mChannelsPerFrame, !nonInterleaved);
}

AudioStreamBasicDescription AudioFormat::streamDescription() const {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                     (interleaved ? 0u : uint32_t{kAudioFormatFlagIsNonInterleaved});
    d.mBytesPerFrame = interleaved ? 4 * channels : 4;
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = 32;
    return d;
}

std::unique_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
    if (frameCapacity == 0) return nullptr;
    return std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity));
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : fmt(format),
      storage(frameCapacity),
      capacity(frameCapacity),
      samples(size_t{frameCapacity} * format.channelCount(), 0.0f) {
    if (fmt.isInterleaved()) {
        channelPointers.push_back(samples.data());
    } else {
        for (uint32_t c = 0; c < fmt.channelCount(); ++c) {
            channelPointers.push_back(samples.data() + size_t{c} * frameCapacity);
        }
    }
}

bool PcmBuffer::setFrameLength(uint32_t frames) {
    if (frames > capacity) return false;
    length = frames;
    return true;
}

bool PcmBuffer::reuseWithCapacity(uint32_t frameCapacity) {
    if (frameCapacity == 0 || frameCapacity > storage) return false;
    capacity = frameCapacity;
    length = 0;
    return true;
}
