#include "plist_message.h"

#include <cstdlib>
#include <cstring>

namespace phone {

PlistPtr newDict() {
    return PlistPtr(plist_new_dict());
}

void dictSet(plist_t dict, const char* key, plist_t value) {
    plist_dict_set_item(dict, key, value);
}

PlistPtr parseDict(const Bytes& payload) {
    if (payload.empty()) return nullptr;
    plist_t parsed = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(payload.data()),
                      static_cast<uint32_t>(payload.size()), &parsed);
    PlistPtr owned(parsed);
    if (!parsed || plist_get_node_type(parsed) != PLIST_DICT) return nullptr;
    return owned;
}

std::string dictString(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return "";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

std::optional<uint64_t> dictUint(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

Bytes encodeMessage(plist_t message, uint32_t tag) {
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(message, &xml, &size);
    // Sized once and filled in place: GCC 12 at -O3 misreads appends to a fresh vector as
    // writes out of bounds (-Wstringop-overflow, -Warray-bounds).
    Bytes out(16 + size);
    qw::putLe32(out.data(), 16 + size);
    qw::putLe32(out.data() + 4, 1);
    qw::putLe32(out.data() + 8, kPlistMessage);
    qw::putLe32(out.data() + 12, tag);
    if (size > 0) std::memcpy(out.data() + 16, xml, size);
    std::free(xml);
    return out;
}

}  // namespace phone
