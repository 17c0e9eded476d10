#include "bridge/report_text.h"

#include <optional>

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct Decoded {
    uint32_t codePoint;
    size_t size;
};

// Decodes the strict UTF-8 sequence at the start of `bytes`; nullopt when it is malformed.
std::optional<Decoded> decodeOne(std::span<const uint8_t> bytes) {
    const uint8_t lead = bytes[0];
    if (lead < 0x80) return Decoded{lead, 1};
    size_t size = 0;
    uint32_t codePoint = 0;
    uint8_t low = 0x80;   // allowed range of the second byte, which rules out overlong forms,
    uint8_t high = 0xBF;  // surrogates and code points above U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return std::nullopt;
    }
    if (bytes.size() < size) return std::nullopt;
    for (size_t i = 1; i < size; ++i) {
        const uint8_t next = bytes[i];
        const uint8_t min = i == 1 ? low : 0x80;
        const uint8_t max = i == 1 ? high : 0xBF;
        if (next < min || next > max) return std::nullopt;
        codePoint = codePoint << 6 | (next & 0x3F);
    }
    return Decoded{codePoint, size};
}

bool isHiddenFromTerminal(uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
           codePoint == 0x2029;
}

}  // namespace

std::string reportLine(std::span<const uint8_t> payload) {
    std::string line = kReportPrefix;
    const size_t prefixSize = line.size();
    line.reserve(prefixSize + payload.size());
    size_t pos = 0;
    while (pos < payload.size()) {
        auto decoded = decodeOne(payload.subspan(pos));
        if (!decoded) {
            line.resize(prefixSize);
            return line;
        }
        if (isHiddenFromTerminal(decoded->codePoint)) {
            line += kReplacement;
        } else {
            line.append(reinterpret_cast<const char*>(payload.data() + pos), decoded->size);
        }
        pos += decoded->size;
    }
    return line;
}

std::string terminalSafeText(std::string_view text) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    std::string safe;
    safe.reserve(text.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        const auto decoded = decodeOne(bytes.subspan(pos));
        if (!decoded || isHiddenFromTerminal(decoded->codePoint)) {
            safe += kReplacement;
        } else {
            safe.append(text.substr(pos, decoded->size));
        }
        pos += decoded ? decoded->size : 1;
    }
    return safe;
}
