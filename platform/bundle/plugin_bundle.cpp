#include "plugin_bundle.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace plugin_bundle {
namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// The whole file, if it can be read and is no larger than the limit; `tooLarge` says which.
std::optional<std::string> readSmallFile(const std::string& path, bool& tooLarge) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(kMaxInfoPlistBytes + 1, '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    if (in.bad()) return std::nullopt;
    data.resize(static_cast<size_t>(in.gcount()));
    tooLarge = data.size() > kMaxInfoPlistBytes;
    return data;
}

// XML or binary. A NUL byte never belongs in XML, and would end up in a string that libplist's
// getters then refuse.
Plist parsePlist(const std::string& data) {
    plist_t parsed = nullptr;
    const auto size = static_cast<uint32_t>(data.size());
    if (data.empty()) return nullptr;
    if (plist_is_binary(data.data(), size)) {
        plist_from_bin(data.data(), size, &parsed);
    } else if (std::memchr(data.data(), 0, data.size()) == nullptr) {
        plist_from_xml(data.data(), size, &parsed);
    }
    return Plist(parsed);
}

// A string value without hidden NUL bytes; absent for anything else.
std::optional<std::string> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr || std::strlen(text) != length) return std::nullopt;
    return std::string(text, length);
}

// The value of the dictionary entry whose key is the text form of `uuid`, in either case.
plist_t itemForUUID(plist_t dict, const UUIDBytes& uuid) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    if (iter == nullptr) return nullptr;
    plist_t found = nullptr;
    for (uint32_t i = 0, n = plist_dict_get_size(dict); found == nullptr && i < n; ++i) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (key != nullptr && parseUUID(key) == uuid) found = value;
        std::free(key);
    }
    std::free(iter);
    return found;
}

bool isDictOrAbsent(plist_t node) {
    return node == nullptr || plist_get_node_type(node) == PLIST_DICT;
}

// A file name without a path, control characters or anything to hide behind.
bool usableFileName(const std::string& name) {
    const bool printable = std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    });
    return printable && !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

// A C function name: what dlsym can find, and safe to print in a log line.
bool isIdentifier(const std::string& name) {
    const auto wordChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    };
    return !name.empty() && !(name[0] >= '0' && name[0] <= '9') &&
           std::all_of(name.begin(), name.end(), wordChar);
}

// The first factory that CFPlugInTypes lists for `type` and CFPlugInFactories names with a
// function name.
std::optional<PlugInBundle> findFactory(plist_t types, plist_t factories, const UUIDBytes& type) {
    const plist_t listed = types != nullptr ? itemForUUID(types, type) : nullptr;
    if (listed == nullptr || factories == nullptr || plist_get_node_type(listed) != PLIST_ARRAY) {
        return std::nullopt;
    }
    for (uint32_t i = 0, n = plist_array_get_size(listed); i < n; ++i) {
        const auto text = stringValue(plist_array_get_item(listed, i));
        const auto uuid = text ? parseUUID(*text) : std::nullopt;
        if (!uuid) continue;
        const auto function = stringValue(itemForUUID(factories, *uuid));
        if (function && isIdentifier(*function)) return PlugInBundle{"", *function, *uuid};
    }
    return std::nullopt;
}

}  // namespace

std::optional<PlugInBundle> readPlugInBundle(const std::string& bundlePath, const UUIDBytes& type,
                                             std::string& error) {
    bool tooLarge = false;
    const auto data = readSmallFile(bundlePath + "/" + kInfoPlist, tooLarge);
    if (!data) {
        error = std::string("no readable ") + kInfoPlist;
        return std::nullopt;
    }
    const Plist root = tooLarge ? nullptr : parsePlist(*data);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        error = std::string(kInfoPlist) + " is malformed (not a property list dictionary)";
        return std::nullopt;
    }
    const auto executable = stringValue(plist_dict_get_item(root.get(), "CFBundleExecutable"));
    const plist_t types = plist_dict_get_item(root.get(), "CFPlugInTypes");
    const plist_t factories = plist_dict_get_item(root.get(), "CFPlugInFactories");
    if (!executable || !usableFileName(*executable) || !isDictOrAbsent(types) ||
        !isDictOrAbsent(factories)) {
        error = std::string(kInfoPlist) +
                " is malformed (CFBundleExecutable, CFPlugInTypes or CFPlugInFactories)";
        return std::nullopt;
    }
    auto found = findFactory(types, factories, type);
    if (!found) {
        error =
            std::string(kInfoPlist) + " registers no factory for plug-in type " + uuidText(type);
        return std::nullopt;
    }
    found->executablePath = bundlePath + "/" + kExecutableDir + "/" + *executable;
    return found;
}

}  // namespace plugin_bundle
