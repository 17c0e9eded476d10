#pragma once
// Little-endian 16- and 32-bit fields, as WAV files, the stream's frames and the multiplexing
// service's headers carry them, independent of the host's byte order.

#include <cstdint>

namespace qw {

constexpr uint16_t getLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

constexpr void putLe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

constexpr uint32_t getLe32(const uint8_t* in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace qw
