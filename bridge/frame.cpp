#include "frame.h"

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

std::optional<Frame> readFrame(int fd, std::optional<uint32_t>* badLength) {
    uint8_t bytes[qw::wire::kHeaderSize];
    qw::wire::FrameHeader header;
    if (!readExact(fd, bytes, qw::wire::kLengthFieldSize)) return std::nullopt;
    if (!qw::wire::readFrameLength(bytes, kMaxPhoneFrameLength, header.length)) {
        if (badLength != nullptr) *badLength = header.length;
        return std::nullopt;
    }
    if (!readExact(fd, bytes + qw::wire::kLengthFieldSize, 1)) return std::nullopt;
    qw::wire::readFrameHeader(bytes, kMaxPhoneFrameLength, header);
    auto payload = readN(fd, int64_t{header.payloadSize()});
    if (!payload) return std::nullopt;
    return Frame{header.type, std::move(*payload)};
}
