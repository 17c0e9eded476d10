#pragma once
// A CFString as UTF-8, whole: a string holding a NUL character comes back with the NUL and
// everything after it, so names that differ only after a NUL never compare equal.

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>

namespace qw {

// The UTF-8 bytes of `s`, or nothing when `s` is null or cannot be converted.
inline std::optional<std::string> utf8Of(CFStringRef s) {
    if (s == nullptr) return std::nullopt;
    const CFRange all = CFRangeMake(0, CFStringGetLength(s));
    CFIndex size = 0;
    if (CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) !=
            all.length ||
        size < 0) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(size), '\0');
    CFIndex written = 0;
    if (size > 0 &&
        CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<UInt8*>(text.data()), size, &written) != all.length) {
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(written));
    return text;
}

}  // namespace qw
