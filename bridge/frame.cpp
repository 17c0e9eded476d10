#include "frame.h"

Bytes makeFrame(FrameType type, const Bytes& payload) {
    const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
    Bytes frame;
    frame.reserve(payload.size() + 5);
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<uint8_t>(length >> shift));
    }
    frame.push_back(static_cast<uint8_t>(type));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

bool isValidPhoneFrameLength(uint32_t length) {
    return length >= 1 && length <= kMaxPhoneFrameLength;
}

std::optional<Frame> readFrame(int fd, std::optional<uint32_t>* badLength) {
    uint8_t header[4];
    if (!readExact(fd, header, sizeof header)) return std::nullopt;
    const uint32_t length = uint32_t{header[0]} | uint32_t{header[1]} << 8 |
                            uint32_t{header[2]} << 16 | uint32_t{header[3]} << 24;
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
