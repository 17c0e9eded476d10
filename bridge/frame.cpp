#include "frame.h"

#include <algorithm>

#include "common/little_endian.h"

Bytes makeFrame(FrameType type, const Bytes& payload) {
    const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
    Bytes frame(qw::wire::kHeaderSize + payload.size());
    qw::putLe32(frame.data(), length);
    frame[qw::wire::kLengthFieldSize] = static_cast<uint8_t>(type);
    std::copy(payload.begin(), payload.end(), frame.begin() + qw::wire::kHeaderSize);
    return frame;
}

bool isValidPhoneFrameLength(uint32_t length) {
    return length >= 1 && length <= kMaxPhoneFrameLength;
}

std::optional<Frame> readFrame(int fd, std::optional<uint32_t>* badLength) {
    uint8_t header[qw::wire::kLengthFieldSize];
    if (!readExact(fd, header, sizeof header)) return std::nullopt;
    const uint32_t length = qw::getLe32(header);
    if (!isValidPhoneFrameLength(length)) {
        if (badLength != nullptr) *badLength = length;
        return std::nullopt;
    }
    uint8_t type = 0;
    if (!readExact(fd, &type, 1)) return std::nullopt;
    auto payload = readN(fd, int64_t{length} - 1);
    if (!payload) return std::nullopt;
    return Frame{type, std::move(*payload)};
}
