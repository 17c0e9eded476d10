#include "stream_reader.h"

#include <algorithm>
#include <cstring>

#include "common/frame_header.h"

namespace qw::receiver {

bool StreamReader::feed(const uint8_t* data, size_t size, AudioSink& sink) {
    while (size > 0 && state_ != State::broken) {
        size_t used = 0;
        switch (state_) {
            case State::header:
                used = takeHeader(data, size);
                break;
            case State::audio:
                used = takeAudio(data, size, sink);
                break;
            case State::skip:
                used = std::min<size_t>(size, remaining_);
                remaining_ -= static_cast<uint32_t>(used);
                break;
            case State::broken:
                break;
        }
        data += used;
        size -= used;
        if ((state_ == State::audio || state_ == State::skip) && remaining_ == 0) {
            if (state_ == State::audio) {
                ++counts_.completedAudioFrames;
                sink.onAudioFrameEnd();
            }
            state_ = State::header;
        }
    }
    return state_ != State::broken;
}

size_t StreamReader::takeHeader(const uint8_t* data, size_t size) {
    const size_t used = std::min(size, wire::kHeaderSize - headerFill_);
    std::memcpy(header_ + headerFill_, data, used);
    headerFill_ += used;
    // The length can be judged as soon as its four bytes are in, before the type byte.
    wire::FrameHeader header;
    if (headerFill_ >= wire::kLengthFieldSize &&
        !wire::readFrameLength(header_, wire::kMaxBridgeFrameLength, header.length)) {
        state_ = State::broken;
        return used;
    }
    if (headerFill_ < wire::kHeaderSize) return used;
    headerFill_ = 0;
    wire::readFrameHeader(header_, wire::kMaxBridgeFrameLength, header);
    remaining_ = header.payloadSize();
    const bool audio = header.type == static_cast<uint8_t>(wire::FrameType::audio);
    if (audio && remaining_ % wire::kBytesPerFrame == 0) {
        ++counts_.audioFrames;
        counts_.lastAudioFrames = remaining_ / wire::kBytesPerFrame;
        state_ = State::audio;
        partialFill_ = 0;
    } else {
        ++(audio ? counts_.badPayloads : counts_.skippedFrames);
        state_ = State::skip;
    }
    return used;
}

size_t StreamReader::takeAudio(const uint8_t* data, size_t size, AudioSink& sink) {
    size_t used = 0;
    const size_t available = std::min<size_t>(size, remaining_);
    if (partialFill_ > 0) {  // complete the sample frame split by the previous call
        const size_t n = std::min(available, wire::kBytesPerFrame - partialFill_);
        std::memcpy(partial_ + partialFill_, data, n);
        partialFill_ += n;
        used = n;
        if (partialFill_ < wire::kBytesPerFrame) {
            remaining_ -= static_cast<uint32_t>(used);
            return used;
        }
        sink.onAudio(partial_, 1);
        partialFill_ = 0;
    }
    const size_t whole = (available - used) / wire::kBytesPerFrame;
    if (whole > 0) sink.onAudio(data + used, whole);
    used += whole * wire::kBytesPerFrame;
    const size_t rest = available - used;  // under one sample frame, kept for the next call
    std::memcpy(partial_, data + used, rest);
    partialFill_ = rest;
    used += rest;
    remaining_ -= static_cast<uint32_t>(used);
    return used;
}

void StreamReader::reset() {
    state_ = State::header;
    headerFill_ = 0;
    remaining_ = 0;
    partialFill_ = 0;
}

}  // namespace qw::receiver
