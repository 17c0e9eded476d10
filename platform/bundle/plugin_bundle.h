// A plug-in bundle as the audio server finds it:
//
//   NAME.driver/Contents/Info.plist          its information list
//   NAME.driver/Contents/MacOS/EXECUTABLE    its loadable code, named by CFBundleExecutable
//
// In the information list, CFPlugInTypes maps a plug-in type UUID to the UUIDs of the factories
// that make that type, and CFPlugInFactories maps each factory UUID to the name of the
// function to call. Reading a bundle loads nothing.
#pragma once
#include <optional>
#include <string>

#include "uuid_text.h"

namespace plugin_bundle {

inline constexpr const char* kInfoPlist = "Contents/Info.plist";
inline constexpr const char* kExecutableDir = "Contents/MacOS";
inline constexpr size_t kMaxInfoPlistBytes = 256 * 1024;

struct PlugInBundle {
    std::string executablePath;   // bundle path + "/Contents/MacOS/" + CFBundleExecutable
    std::string factoryFunction;  // the function to look up in the executable
    UUIDBytes factoryUUID{};
};

// Reads the bundle's Info.plist and finds the first factory registered for `type`. On failure
// returns nothing and says why in `error`, in one line.
std::optional<PlugInBundle> readPlugInBundle(const std::string& bundlePath, const UUIDBytes& type,
                                             std::string& error);

}  // namespace plugin_bundle
