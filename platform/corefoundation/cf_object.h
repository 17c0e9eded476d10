// The common header of every stand-in CoreFoundation object.
#pragma once
#include <CoreFoundation/CFBase.h>

#include <atomic>

namespace cf {

enum TypeID : CFTypeID { kString = 7, kUUID = 29 };

struct Object {
    explicit Object(CFTypeID t, bool isImmortal) : type(t), immortal(isImmortal) {}
    virtual ~Object() = default;
    virtual bool equals(const Object& other) const = 0;

    const CFTypeID type;
    const bool immortal;  // interned constants: retain and release do nothing
    std::atomic<long> refCount{1};
};

inline const Object* asObject(CFTypeRef cf) {
    return static_cast<const Object*>(cf);
}

}  // namespace cf
