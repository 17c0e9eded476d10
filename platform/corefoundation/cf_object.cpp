#include "cf_object.h"

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    const cf::Object* o = cf::asObject(cf);
    if (o != nullptr && !o->immortal) {
        const_cast<cf::Object*>(o)->refCount.fetch_add(1, std::memory_order_relaxed);
    }
    return cf;
}

void CFRelease(CFTypeRef cf) {
    const cf::Object* o = cf::asObject(cf);
    if (o == nullptr || o->immortal) return;
    if (const_cast<cf::Object*>(o)->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete o;
    }
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    const cf::Object* o = cf::asObject(cf);
    if (o == nullptr) return 0;
    return o->immortal ? 0x7fffffff : o->refCount.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2) return true;
    const cf::Object* a = cf::asObject(cf1);
    const cf::Object* b = cf::asObject(cf2);
    if (a == nullptr || b == nullptr || a->type != b->type) return false;
    return a->equals(*b);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    const cf::Object* o = cf::asObject(cf);
    return o == nullptr ? 0 : o->type;
}
