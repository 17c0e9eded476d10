// Reads the exported (dynamic, global, defined) function symbols of an ELF shared object
// from its file, without loading it. Used to find a plug-in's factory.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace audioserver {

// The exported function names of the 64-bit little-endian ELF file at `path`; absent when the
// file is not such an ELF file or is malformed.
std::optional<std::vector<std::string>> exportedFunctions(const std::string& path);

// The factory of a plug-in: the one exported function whose name ends in "_Create". Absent
// when there is none, or more than one.
std::optional<std::string> findFactorySymbol(const std::vector<std::string>& exported);

}  // namespace audioserver
