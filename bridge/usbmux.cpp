#include "usbmux.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/little_endian.h"

namespace {

// An upper bound on the element nesting of an XML text, found without parsing it: every tag
// that is not a closing tag, a comment or a declaration counts as an opening unless it ends in
// "/>" and holds no quote. Odd texts are over-counted, which only refuses them.
bool nestingWithin(const Bytes& xml, int limit) {
    const size_t size = xml.size();
    size_t nextGreater = 0;  // first '>' at or after the current tag's start, or size
    size_t nextQuote = 0;    // first quote at or after the current tag's start, or size
    int depth = 0;
    for (size_t i = 0; i < size; ++i) {
        if (xml[i] != '<') continue;
        if (nextGreater <= i) {
            nextGreater = i + 1;
            while (nextGreater < size && xml[nextGreater] != '>') ++nextGreater;
        }
        if (nextQuote <= i) {
            nextQuote = i + 1;
            while (nextQuote < size && xml[nextQuote] != '"' && xml[nextQuote] != '\'') {
                ++nextQuote;
            }
        }
        const uint8_t next = i + 1 < size ? xml[i + 1] : 0;
        if (next == '/') {
            if (depth > 0) --depth;
        } else if (next != '!' && next != '?') {
            const bool selfClosing =
                nextGreater < size && nextQuote > nextGreater && xml[nextGreater - 1] == '/';
            if (!selfClosing && ++depth > limit) return false;
        }
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
    // libplist frees trees recursively: bound the nesting before a tree is built at all.
    if (!nestingWithin(payload, kMaxUsbmuxNesting)) return nullptr;
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
