#include <CoreFoundation/CFString.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "cf_object.h"

struct __CFString final : cf::Object {
    __CFString(std::string s, bool isImmortal)
        : Object(cf::kString, isImmortal), utf8(std::move(s)) {}
    bool equals(const Object& other) const override {
        return utf8 == static_cast<const __CFString&>(other).utf8;
    }
    const std::string utf8;
};

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncation.
// Returns the number of UTF-16 code units, or -1 when the bytes are not UTF-8.
long utf16Length(const unsigned char* s, size_t n) {
    long units = 0;
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        size_t len;
        unsigned cp;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else
            return -1;
        if (i + len > n) return -1;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return -1;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return -1;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units;
}

CFStringRef create(const char* bytes, size_t n, CFStringEncoding encoding) {
    if (bytes == nullptr) return nullptr;
    const auto* u = reinterpret_cast<const unsigned char*>(bytes);
    if (encoding == kCFStringEncodingASCII) {
        for (size_t i = 0; i < n; ++i) {
            if (u[i] >= 0x80) return nullptr;
        }
    } else if (encoding != kCFStringEncodingUTF8 || utf16Length(u, n) < 0) {
        return nullptr;
    }
    return new __CFString(std::string(bytes, n), false);
}

}  // namespace

CFTypeID CFStringGetTypeID(void) {
    return cf::kString;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    static std::mutex lock;
    // Never destroyed, so the interned constants stay reachable until the process ends.
    static auto& interned = *new std::map<std::string, const __CFString*, std::less<>>;
    std::lock_guard<std::mutex> guard(lock);
    auto it = interned.find(std::string_view(cStr));
    if (it == interned.end()) it = interned.emplace(cStr, new __CFString(cStr, true)).first;
    return it->second;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    return cStr == nullptr ? nullptr : create(cStr, std::strlen(cStr), encoding);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
    if (numBytes < 0) return nullptr;
    return create(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes), encoding);
}

CFIndex CFStringGetLength(CFStringRef str) {
    if (str == nullptr) return 0;
    return utf16Length(reinterpret_cast<const unsigned char*>(str->utf8.data()), str->utf8.size());
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (str == nullptr || buffer == nullptr || bufferSize <= 0) return false;
    if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII) return false;
    if (encoding == kCFStringEncodingASCII) {
        for (unsigned char c : str->utf8) {
            if (c >= 0x80) return false;
        }
    }
    if (str->utf8.size() + 1 > static_cast<size_t>(bufferSize)) return false;
    std::memcpy(buffer, str->utf8.c_str(), str->utf8.size() + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding) {
    if (str == nullptr || encoding != kCFStringEncodingUTF8) return nullptr;
    return str->utf8.c_str();
}

CFIndex CFStringGetBytes(CFStringRef str, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean, UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen) {
    CFIndex used = 0;
    CFIndex converted = 0;
    const bool known = encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII;
    if (str != nullptr && known && range.location >= 0 && range.length >= 0) {
        const std::string& s = str->utf8;  // valid UTF-8, checked when the string was made
        CFIndex unit = 0;
        for (size_t i = 0; i < s.size() && unit < range.location + range.length;) {
            const auto lead = static_cast<unsigned char>(s[i]);
            const CFIndex bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            const CFIndex units = bytes == 4 ? 2 : 1;
            if (unit >= range.location) {
                const bool lossy = encoding == kCFStringEncodingASCII && bytes > 1;
                if (lossy && lossByte == 0) break;
                const CFIndex out = lossy ? 1 : bytes;
                if (buffer != nullptr && used + out > maxBufLen) break;
                if (buffer != nullptr && lossy) buffer[used] = lossByte;
                if (buffer != nullptr && !lossy) std::memcpy(buffer + used, s.data() + i, out);
                used += out;
                converted += units;
            }
            unit += units;
            i += static_cast<size_t>(bytes);
        }
    }
    if (usedBufLen != nullptr) *usedBufLen = used;
    return converted;
}
