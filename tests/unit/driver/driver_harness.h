// Reaches quillwave-driver the way the audio server does: read the built bundle's Info.plist,
// dlopen the executable it names, look up the factory it registers for the audio server
// plug-in type, call it, then go through the interface table.
//
// The driver's state is process-wide and lives until the module is unloaded; ctest runs every
// test case in a process of its own, so each case starts from a freshly loaded driver.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <cstring>
#include <string>
#include <vector>

#include "opaque_null.h"

namespace driver_test {

using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);

// The bundle in the build's plugins/ directory, and the executable its Info.plist names.
const char* bundlePath();
std::string modulePath();

// dlopen the module (once) and return its factory.
Factory loadFactory();

// Unload the module, so that the next loadFactory() maps it afresh.
void unloadModule();

// The driver reference from the factory, loading the module if needed.
AudioServerPlugInDriverRef createDriver();

inline const AudioServerPlugInDriverInterface& table(AudioServerPlugInDriverRef driver) {
    return **driver;
}

inline AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                          AudioObjectPropertyScope scope = 'glob') {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

// GetPropertyData into a buffer of `capacity` bytes; `written` is the size the driver reports.
struct PropertyRead {
    OSStatus status = 0;
    UInt32 written = 0;
    std::vector<unsigned char> bytes;
};
PropertyRead readProperty(AudioServerPlugInDriverRef driver, AudioObjectID object,
                          AudioObjectPropertyAddress where, UInt32 capacity);

template <typename T>
T readValue(AudioServerPlugInDriverRef driver, AudioObjectID object,
            AudioObjectPropertyAddress where) {
    const PropertyRead read = readProperty(driver, object, where, sizeof(T));
    T value{};
    if (read.status == 0 && read.written == sizeof(T))
        std::memcpy(&value, read.bytes.data(), sizeof(T));
    return value;
}

OSStatus setValue(AudioServerPlugInDriverRef driver, AudioObjectID object,
                  AudioObjectPropertySelector selector, const void* data, UInt32 size);

// DoIOOperation for `op` ('read' or 'rite') at `sampleTime` on `frames` interleaved stereo frames.
OSStatus doIO(AudioServerPlugInDriverRef driver, UInt32 op, Float64 sampleTime, UInt32 frames,
              Float32* buffer);
std::vector<Float32> readFrames(AudioServerPlugInDriverRef driver, Float64 sampleTime,
                                UInt32 frames);
void writeFrames(AudioServerPlugInDriverRef driver, Float64 sampleTime,
                 const std::vector<Float32>& samples);

}  // namespace driver_test
