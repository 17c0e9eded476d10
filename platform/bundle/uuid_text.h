// UUIDs in their text form, "443ABAB8-E7B3-491A-B985-BEB9187030DB", as property lists carry
// them: 8-4-4-4-12 hexadecimal digits in either case.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plugin_bundle {

using UUIDBytes = std::array<uint8_t, 16>;

// The 16 bytes of a UUID in text form; absent for anything else.
std::optional<UUIDBytes> parseUUID(std::string_view text);

// The text form in upper case.
std::string uuidText(const UUIDBytes& bytes);

// The bytes of a CoreFoundation CFUUIDBytes (fields byte0 to byte15), without naming the type.
template <typename CFBytes>
UUIDBytes fromCFUUIDBytes(const CFBytes& b) {
    return {b.byte0, b.byte1, b.byte2,  b.byte3,  b.byte4,  b.byte5,  b.byte6,  b.byte7,
            b.byte8, b.byte9, b.byte10, b.byte11, b.byte12, b.byte13, b.byte14, b.byte15};
}

}  // namespace plugin_bundle
