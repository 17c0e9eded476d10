#include "bridge/frame.h"

#include <algorithm>

#include "common/frame_header.h"

Bytes makeFrame(FrameType type, const Bytes& payload) {
    Bytes frame(qw::wire::kHeaderSize + payload.size());
    uint8_t* body = qw::wire::writeFrameHeader(frame.data(), type, payload.size());
    std::copy(payload.begin(), payload.end(), body);
    return frame;
}

bool isValidPhoneFrameLength(uint32_t length) {
    return qw::wire::isValidFrameLength(length, kMaxPhoneFrameLength);
}

namespace {

std::nullopt_t linkEnded(LinkDown* why, LinkDown down) {
    if (why != nullptr) *why = down;
    return std::nullopt;
}

}  // namespace

std::optional<Frame> readFrame(int fd, LinkDown* why) {
    uint8_t bytes[qw::wire::kHeaderSize];
    qw::wire::FrameHeader header;
    const LinkDown closed{LinkDownReason::peerClosed};
    if (!readExact(fd, bytes, qw::wire::kLengthFieldSize)) return linkEnded(why, closed);
    if (!qw::wire::readFrameLength(bytes, kMaxPhoneFrameLength, header.length)) {
        return linkEnded(why, {LinkDownReason::framingError, header.length});
    }
    if (!readExact(fd, bytes + qw::wire::kLengthFieldSize, 1)) return linkEnded(why, closed);
    qw::wire::readFrameHeader(bytes, kMaxPhoneFrameLength, header);
    auto payload = readN(fd, int64_t{header.payloadSize()});
    if (!payload) return linkEnded(why, closed);
    return Frame{header.type, std::move(*payload)};
}
