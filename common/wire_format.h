#pragma once
// The stream between the bridge and the receiving app, in one place. Each frame is a 4-byte
// little-endian length (type byte plus payload), one type byte, then the payload; frames follow
// each other with nothing between. Audio payloads are 48 kHz, 16-bit signed little-endian,
// two channels interleaved.

#include <cstddef>
#include <cstdint>

namespace qw::wire {

enum class FrameType : uint8_t { audio = 1, report = 3 };

// TCP port the receiving app listens on (on the phone, reached through a USB tunnel).
inline constexpr uint16_t kAppPort = 7000;

// Bytes before the payload: the length field and the type byte.
inline constexpr size_t kLengthFieldSize = 4;
inline constexpr size_t kHeaderSize = kLengthFieldSize + 1;

// Frames from the app to the bridge carry a length of 1 to 8191.
inline constexpr uint32_t kMaxAppFrameLength = 8191;
// Frames from the bridge may be larger (one audio frame per capture callback); a receiver
// accepts lengths of 1 to 65536 and ends the connection on anything else.
inline constexpr uint32_t kMaxBridgeFrameLength = 65536;

inline constexpr uint32_t kSampleRate = 48000;
inline constexpr uint32_t kChannels = 2;
inline constexpr uint32_t kBytesPerSample = 2;
inline constexpr uint32_t kBytesPerFrame = kChannels * kBytesPerSample;  // one sample frame

}  // namespace qw::wire
