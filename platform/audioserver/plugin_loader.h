// Finding, loading and instantiating HAL plug-ins, as the platform's audio server does: a
// plug-in is a NAME.driver bundle in a plug-in directory; its Contents/Info.plist names the
// executable and, for the audio server plug-in type, the factory function to call.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <optional>
#include <string>
#include <vector>

namespace audioserver {

using PlugInFactory = void* (*)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

struct PlugIn {
    std::string name;  // bundle directory name, or the name given to a built-in factory
    std::string factoryName;
    void* handle = nullptr;  // dlopen handle; plug-ins are never unloaded
    AudioServerPlugInDriverRef driver = nullptr;
    const AudioServerPlugInDriverInterface& table() const { return **driver; }
};

// The *.driver bundles (directories) of a directory, sorted by name; empty if the directory
// cannot be read.
std::vector<std::string> listPlugInBundles(const std::string& directory);

// Calls the factory with the audio server plug-in type and asks the result for the driver
// interface. On failure returns null and says why in `error`.
AudioServerPlugInDriverRef instantiatePlugIn(PlugInFactory factory, std::string& error);

// Reads the bundle at `path`, loads its executable, looks its factory up and instantiates it.
// On failure says why in `error`, in one line.
std::optional<PlugIn> loadPlugInBundle(const std::string& path, std::string& error);

}  // namespace audioserver
