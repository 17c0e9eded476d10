// The class of each of the driver's objects, the classes' family tree, and the class qualifier
// that OwnedObjects may be asked with.
#pragma once
#include "driver_state.h"

// The class of an object of the fixed tree ('aplg', 'adev', 'astr', 'vlme', 'mute'), or 0 for any
// other ID.
AudioClassID classOf(AudioObjectID objectID);

// The class `classID` derives from directly ('levl' for 'vlme', 'actl' for 'levl', 'aobj' for
// 'actl', 'adev' and the other top classes); 0 for 'aobj'.
AudioClassID baseClassOf(AudioClassID classID);

// True when `objectID`'s class is one of the qualifier's class IDs or derives from one of them.
// No qualifier (size below one class ID, or no data) lets every object through; a trailing part
// of an ID is ignored.
bool passesClassQualifier(AudioObjectID objectID, UInt32 qualifierSize, const void* qualifier);
