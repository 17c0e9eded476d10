// The device's two controls on its output side, main element: volume (object 6, a level
// control) and mute (object 7, a boolean control). Full volume and not muted at every load;
// every change goes to the gain ramp and is announced to the host.
#pragma once
#include "property_table.h"

bool isControl(AudioObjectID objectID);

// The control's properties. `callerData` is what the caller's buffer holds on the way in: the
// value the two conversions convert.
OSStatus controlProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                         const PropertyBytes& callerData, PropertyValue& value);

bool isControlPropertySettable(AudioObjectID objectID, AudioObjectPropertySelector selector);

// Returns 0, 'unop' for a property that is not settable or too few bytes, 'nope' for a value
// that is not a number.
OSStatus setControlProperty(AudioObjectID objectID, AudioObjectPropertySelector selector,
                            UInt32 size, const void* data);
