#include <CoreFoundation/CFUUID.h>

#include <cstring>
#include <map>
#include <mutex>

#include "cf_object.h"

struct __CFUUID final : cf::Object {
    __CFUUID(const CFUUIDBytes& b, bool isImmortal) : Object(cf::kUUID, isImmortal), bytes(b) {}
    bool equals(const Object& other) const override {
        return std::memcmp(&bytes, &static_cast<const __CFUUID&>(other).bytes, sizeof bytes) == 0;
    }
    const CFUUIDBytes bytes;
};

namespace {
struct BytesLess {
    bool operator()(const CFUUIDBytes& a, const CFUUIDBytes& b) const {
        return std::memcmp(&a, &b, sizeof a) < 0;
    }
};
}  // namespace

CFTypeID CFUUIDGetTypeID(void) {
    return cf::kUUID;
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                         UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                         UInt8 b15) {
    static std::mutex lock;
    // Never destroyed, so the interned constants stay reachable until the process ends.
    static auto& interned = *new std::map<CFUUIDBytes, const __CFUUID*, BytesLess>;
    const CFUUIDBytes bytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard<std::mutex> guard(lock);
    auto it = interned.find(bytes);
    if (it == interned.end()) it = interned.emplace(bytes, new __CFUUID(bytes, true)).first;
    return it->second;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return new __CFUUID(bytes, false);
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    if (uuid == nullptr) return CFUUIDBytes{};
    return uuid->bytes;
}
