#include "bridge/usbmux.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/little_endian.h"

namespace {

// Where the markup starting at `from` ends: the first '>' outside quotes, or `size` when there
// is none. Sets `odd` when a '<' stands anywhere on the way, a '>' inside quotes or a '['
// outside them: whether such a tag ends where this scan ends it depends on the parser.
size_t endOfMarkup(const Bytes& xml, size_t from, bool& odd) {
    uint8_t quote = 0;
    for (size_t i = from; i < xml.size(); ++i) {
        const uint8_t ch = xml[i];
        if (ch == '<') odd = true;
        if (quote != 0) {
            if (ch == quote) quote = 0;
            if (ch == '>') odd = true;
        } else if (ch == '"' || ch == '\'') {
            quote = ch;
        } else if (ch == '>') {
            return i;
        } else if (ch == '[') {
            odd = true;
        }
    }
    return xml.size();
}

bool startsWith(const Bytes& xml, size_t at, std::string_view text) {
    return xml.size() - at >= text.size() &&
           std::memcmp(xml.data() + at, text.data(), text.size()) == 0;
}

// Checks the markup of an XML text before it is parsed: the element nesting stays within
// `limit`, and nothing can hide a tag from this count (a "</" inside a comment or CDATA section
// is no closing tag). usbmuxd sends an XML declaration, one document type declaration and
// elements, so only those are accepted: comments, CDATA sections, processing instructions, any
// other declaration, a document type declaration with an internal subset or after the root
// element, and markup that does not end are refused.
bool markupWithin(const Bytes& xml, int limit) {
    const size_t size = xml.size();
    int depth = 0;
    bool rootSeen = false, doctypeSeen = false;
    for (size_t i = 0; i < size; ++i) {
        if (xml[i] != '<') continue;
        bool odd = false;
        const size_t end = endOfMarkup(xml, i + 1, odd);
        if (end == size || odd) return false;
        if (xml[i + 1] == '?') {  // only the XML declaration, and only first
            if (i != 0 || !startsWith(xml, i, "<?xml ") || xml[end - 1] != '?') return false;
        } else if (xml[i + 1] == '!') {  // only one document type declaration, before the root
            if (!startsWith(xml, i, "<!DOCTYPE ") || rootSeen || doctypeSeen) return false;
            doctypeSeen = true;
        } else if (xml[i + 1] == '/') {
            if (depth > 0) --depth;
        } else if (xml[end - 1] != '/') {
            rootSeen = true;
            if (++depth > limit) return false;
        } else {
            rootSeen = true;
        }
        i = end;
    }
    return true;
}

// Checks a parsed reply below `node`: dictionary keys are key nodes, and no string hides a NUL
// byte (libplist's string getters assert on those, which would end the process).
bool isWellFormedTree(plist_t node, int depth) {
    if (depth > kMaxUsbmuxNesting) return false;
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            if (iter == nullptr) return false;
            bool ok = true;
            for (uint32_t i = 0, n = plist_dict_get_size(node); ok && i < n; ++i) {
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, nullptr, &value);  // the key is not copied out
                plist_t key = value ? plist_dict_item_get_key(value) : nullptr;
                ok = key != nullptr && plist_get_node_type(key) == PLIST_KEY &&
                     isWellFormedTree(value, depth + 1);
            }
            std::free(iter);
            return ok;
        }
        case PLIST_ARRAY:
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
                if (!isWellFormedTree(plist_array_get_item(node, i), depth + 1)) return false;
            }
            return true;
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return text != nullptr && std::strlen(text) == length;
        }
        case PLIST_NONE:
            return false;
        default:
            return true;
    }
}

}  // namespace

void PlistFree::operator()(void* p) const {
    plist_free(static_cast<plist_t>(p));
}

int connectUsbmuxd() {
    return connectUsbmuxdAt(kUsbmuxdPath);
}

int connectUsbmuxdAt(const char* path, LinkDownReason* why) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
        reportLinkDown(why, LinkDownReason::usbmuxdMissing);
        return -1;
    }
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        reportLinkDown(why, LinkDownReason::usbmuxdRefused);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        ::close(fd);
        reportLinkDown(why,
                       missing ? LinkDownReason::usbmuxdMissing : LinkDownReason::usbmuxdRefused);
        return -1;
    }
    return fd;
}

bool usbmuxSend(int fd, plist_t message, uint32_t tag) {
    if (message == nullptr) return false;
    char* xml = nullptr;
    uint32_t xmlSize = 0;
    plist_to_xml(message, &xml, &xmlSize);
    if (xml == nullptr || xmlSize == 0 || xmlSize > UINT32_MAX - kUsbmuxHeaderSize) {
        plist_to_xml_free(xml);
        return false;
    }
    Bytes buffer(kUsbmuxHeaderSize + xmlSize);
    qw::putLe32(&buffer[0], kUsbmuxHeaderSize + xmlSize);
    qw::putLe32(&buffer[4], 1);  // version
    qw::putLe32(&buffer[8], 8);  // property-list message
    qw::putLe32(&buffer[12], tag);
    std::memcpy(&buffer[kUsbmuxHeaderSize], xml, xmlSize);
    plist_to_xml_free(xml);
    return sendAll(fd, buffer);
}

Plist parseUsbmuxPayload(const Bytes& payload) {
    // XML only, as usbmuxd answers property-list requests. A NUL byte is never valid XML, and it
    // would end up inside a string or key that libplist's getters then assert on.
    if (payload.empty() || plist_is_binary(reinterpret_cast<const char*>(payload.data()),
                                           static_cast<uint32_t>(payload.size()))) {
        return nullptr;
    }
    if (std::memchr(payload.data(), 0, payload.size()) != nullptr) return nullptr;
    // libplist frees trees recursively: bound the nesting before a tree is built at all. The
    // count must see every tag libplist sees, so markup that could hide one is refused.
    if (!markupWithin(payload, kMaxUsbmuxNesting)) return nullptr;
    plist_t parsed = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(payload.data()),
                   static_cast<uint32_t>(payload.size()), &parsed);
    Plist result(parsed);
    if (!result || plist_get_node_type(parsed) != PLIST_DICT || !isWellFormedTree(parsed, 0)) {
        return nullptr;
    }
    return result;
}

Plist usbmuxRecv(int fd) {
    uint8_t header[kUsbmuxHeaderSize];
    if (!readExact(fd, header, sizeof header)) return nullptr;
    const uint32_t length = qw::getLe32(header);
    if (length < kUsbmuxHeaderSize || length > kMaxUsbmuxReply) return nullptr;
    auto payload = readN(fd, int64_t{length} - kUsbmuxHeaderSize);
    if (!payload) return nullptr;
    return parseUsbmuxPayload(*payload);
}
