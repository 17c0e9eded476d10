// Prints every property the tool knows of a device and of its streams.
#pragma once
#include <CoreAudio/AudioHardware.h>

namespace qwtools {

void printObject(AudioObjectID device);

}  // namespace qwtools
