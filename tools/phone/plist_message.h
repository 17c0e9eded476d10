#pragma once
// Property-list messages of the multiplexing service: a 16-byte little-endian header (length,
// version, message type, tag) followed by an XML property list.

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>

#include "phone_io.h"

namespace phone {

inline constexpr uint32_t kPlistMessage = 8;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistPtr newDict();
// Sets `key` in `dict`, taking ownership of `value`.
void dictSet(plist_t dict, const char* key, plist_t value);
// The payload parsed as a property list whose top level is a dictionary, or null.
PlistPtr parseDict(const Bytes& payload);
// The string at `key`, or "" when it is missing or not a string.
std::string dictString(plist_t dict, const char* key);
// The unsigned integer at `key`, or nullopt.
std::optional<uint64_t> dictUint(plist_t dict, const char* key);
// Header and XML body of one message.
Bytes encodeMessage(plist_t message, uint32_t tag);

}  // namespace phone
