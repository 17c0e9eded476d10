#pragma once
// Whole frames exchanged with the receiving app (layout in common/wire_format.h, header in
// common/frame_header.h): made in one piece, or read from a socket one frame at a time.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bridge/fd_io.h"
#include "bridge/link_down.h"
#include "common/wire_format.h"

using FrameType = qw::wire::FrameType;

// Frames from the phone carry a length of 1 to 8191; anything else is a framing error.
inline constexpr uint32_t kMaxPhoneFrameLength = qw::wire::kMaxAppFrameLength;

// One complete frame: length, type, copy of the payload. Pure; safe on the audio thread
// (it allocates the result). Payloads must be smaller than 4294967295 bytes.
Bytes makeFrame(FrameType type, const Bytes& payload);

struct Frame {
    uint8_t type;
    Bytes payload;
};

// True when a length field read from the phone is acceptable (1..kMaxPhoneFrameLength).
bool isValidPhoneFrameLength(uint32_t length);

// Reads one frame from the phone, blocking. nullopt ends the link, and `why` (when given) then
// says how: {peerClosed} for end of stream or a read error, {framingError, length} for a length
// of 0 or above 8191. `why` is left alone when a frame is returned. Any split of the bytes across
// reads is fine; interrupted reads are retried. Frames of unknown type are returned whole, for
// the caller to skip.
std::optional<Frame> readFrame(int fd, LinkDown* why = nullptr);
