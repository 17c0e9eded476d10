// The fixed object tree and the value of every property of every object.
#pragma once
#include <cstring>

#include "driver_state.h"

// One property's whole value. A list (entrySize above 0) is handed out in whole entries; any
// other value only in one piece.
struct PropertyValue {
    static constexpr UInt32 kCapacity = 6 * sizeof(AudioStreamRangedDescription);
    UInt32 size = 0;
    UInt32 entrySize = 0;
    alignas(8) unsigned char bytes[kCapacity];
};

// Sets `value` to the one value `x`.
template <typename T>
void setValue(PropertyValue& value, const T& x) {
    static_assert(sizeof(T) <= PropertyValue::kCapacity);
    std::memcpy(value.bytes, &x, sizeof x);
    value.size = sizeof x;
    value.entrySize = 0;
}

// The qualifier a property is asked with: class IDs for OwnedObjects, a CFStringRef for the UID
// translation, ignored by every other property.
struct PropertyQualifier {
    UInt32 size = 0;
    const void* data = nullptr;
};

// Bytes handed in with a call: the caller's buffer on the way in, for the properties that
// convert the value it holds.
using PropertyBytes = PropertyQualifier;

// Fills `value` with the property at `address` of `objectID`. Returns 0, '!obj' for an object that
// does not exist or 'who?' for a selector the object does not have.
OSStatus lookUpProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                        const PropertyQualifier& qualifier, PropertyValue& value,
                        const PropertyBytes& callerData = {});

// The properties that SetPropertyData accepts.
bool isPropertySettable(AudioObjectID objectID, AudioObjectPropertySelector selector);

// The one format both streams carry: interleaved stereo 32-bit float.
AudioStreamBasicDescription streamFormat(Float64 sampleRate);
