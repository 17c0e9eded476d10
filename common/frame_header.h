#pragma once
// The frame header of the stream (see wire_format.h), written and read in one place. The writer
// fills memory the caller owns and never allocates, so the audio thread can build its frame in
// place; the reader takes the largest acceptable length from the caller, because each direction
// has its own limit (kMaxAppFrameLength toward the bridge, kMaxBridgeFrameLength toward a
// receiver).

#include <cstddef>
#include <cstdint>

#include "common/little_endian.h"
#include "common/wire_format.h"

namespace qw::wire {

struct FrameHeader {
    uint32_t length = 0;  // the length field as read: type byte plus payload
    uint8_t type = 0;
    uint32_t payloadSize() const { return length - 1; }
};

// Writes the kHeaderSize bytes of a frame carrying `payloadSize` payload bytes (below
// 4294967295) to `out` and returns where the payload goes.
constexpr uint8_t* writeFrameHeader(uint8_t* out, FrameType type, size_t payloadSize) {
    putLe32(out, static_cast<uint32_t>(payloadSize + 1));
    out[kLengthFieldSize] = static_cast<uint8_t>(type);
    return out + kHeaderSize;
}

constexpr bool isValidFrameLength(uint32_t length, uint32_t maxLength) {
    return length >= 1 && length <= maxLength;
}

// Reads the length field (the first kLengthFieldSize bytes at `in`) into `length`, whether or
// not it is acceptable, so a caller can name a bad one; true when it is 1..maxLength. A length
// can be judged before the type byte has arrived.
constexpr bool readFrameLength(const uint8_t* in, uint32_t maxLength, uint32_t& length) {
    length = getLe32(in);
    return isValidFrameLength(length, maxLength);
}

// Reads a whole header (kHeaderSize bytes at `in`); true when its length is 1..maxLength.
constexpr bool readFrameHeader(const uint8_t* in, uint32_t maxLength, FrameHeader& header) {
    header.type = in[kLengthFieldSize];
    return readFrameLength(in, maxLength, header.length);
}

}  // namespace qw::wire
