#include "allow_list.h"

#include <arpa/inet.h>

#include <charconv>

namespace qwr {

std::optional<AddressRange> parseAddressRange(std::string_view text) {
    const size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return std::nullopt;
    unsigned bits = 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            bits > 32) {
            return std::nullopt;
        }
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return AddressRange{ntohl(parsed.s_addr) & mask, mask};
}

bool AllowList::permits(const in_addr& peer) const {
    if (ranges_.empty()) return true;
    const uint32_t address = ntohl(peer.s_addr);
    for (const AddressRange& range : ranges_) {
        if ((address & range.mask) == range.network) return true;
    }
    return false;
}

void RefusalLog::refused(const std::string& host) {
    ++untold_;
    lastHost_ = host;
}

std::optional<std::string> RefusalLog::due(int64_t nowMs) {
    if (untold_ == 0 || (lastToldMs_ && nowMs - *lastToldMs_ < 1000)) return std::nullopt;
    lastToldMs_ = nowMs;
    std::string line = "refused " + std::to_string(untold_) +
                       (untold_ == 1 ? " connection" : " connections") +
                       " not on the allow-list (last from " + lastHost_ + ")";
    untold_ = 0;
    return line;
}

}  // namespace qwr
