// Finding, loading and instantiating HAL plug-ins. A plug-in is a shared object in the
// plug-in directory whose factory is its one exported function named "<prefix>_Create"
// (on Linux our plug-ins export only that symbol, as the macOS bundle registers only it).
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <optional>
#include <string>
#include <vector>

namespace audioserver {

using PlugInFactory = void* (*)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

struct PlugIn {
    std::string name;  // file name, or the name given to a built-in factory
    std::string factoryName;
    void* handle = nullptr;  // dlopen handle; plug-ins are never unloaded
    AudioServerPlugInDriverRef driver = nullptr;
    const AudioServerPlugInDriverInterface& table() const { return **driver; }
};

// The *.so files of a directory, sorted by name; empty if the directory cannot be read.
std::vector<std::string> listPlugInFiles(const std::string& directory);

// Calls the factory with the audio server plug-in type and asks the result for the driver
// interface. On failure returns null and says why in `error`.
AudioServerPlugInDriverRef instantiatePlugIn(PlugInFactory factory, std::string& error);

// Loads the shared object at `path`, finds its factory and instantiates it.
std::optional<PlugIn> loadPlugInFile(const std::string& path, std::string& error);

}  // namespace audioserver
