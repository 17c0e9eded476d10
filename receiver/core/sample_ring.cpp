#include "sample_ring.h"

#include <algorithm>
#include <bit>

namespace qw::receiver {

namespace {

constexpr float kScale = 1.0f / 32768.0f;

float sampleAt(const uint8_t* p) {
    return static_cast<float>(static_cast<int16_t>(uint16_t{p[0]} | uint16_t{p[1]} << 8)) * kScale;
}

}  // namespace

SampleRing::SampleRing(size_t capacityFrames)
    : data_(std::bit_ceil(std::max<size_t>(capacityFrames, 2)) * 2),
      mask_(std::bit_ceil(std::max<size_t>(capacityFrames, 2)) - 1) {}

size_t SampleRing::write(const uint8_t* samples, size_t frames) {
    const uint64_t w = write_.load(std::memory_order_relaxed);
    const uint64_t r = read_.load(std::memory_order_acquire);
    const size_t room = capacity() - static_cast<size_t>(w - r);
    const size_t n = std::min(room, frames);
    for (size_t i = 0; i < n; ++i) {
        const size_t at = static_cast<size_t>((w + i) & mask_) * 2;
        data_[at] = sampleAt(samples + 4 * i);
        data_[at + 1] = sampleAt(samples + 4 * i + 2);
    }
    write_.store(w + n, std::memory_order_release);
    return n;
}

uint32_t SampleRing::flush() {
    flushPoint_.store(write_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return flushes_.fetch_add(1, std::memory_order_release) + 1;
}

bool SampleRing::takeFlush() {
    const uint32_t flushes = flushes_.load(std::memory_order_acquire);
    if (flushes == flushesSeen_) return false;
    flushesSeen_ = flushes;
    const uint64_t point = flushPoint_.load(std::memory_order_relaxed);
    if (point > read_.load(std::memory_order_relaxed))
        read_.store(point, std::memory_order_release);
    return true;
}

size_t SampleRing::readable() const {
    return static_cast<size_t>(write_.load(std::memory_order_acquire) -
                               read_.load(std::memory_order_relaxed));
}

const float* SampleRing::readPointer(size_t& frames) const {
    const uint64_t r = read_.load(std::memory_order_relaxed);
    const size_t at = static_cast<size_t>(r & mask_);
    frames = std::min(readable(), capacity() - at);
    return data_.data() + at * 2;
}

void SampleRing::consume(size_t frames) {
    read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
}

size_t SampleRing::dropOldest(size_t keep) {
    const size_t level = readable();
    if (level <= keep) return 0;
    consume(level - keep);
    return level - keep;
}

}  // namespace qw::receiver
