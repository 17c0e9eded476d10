#include "usbmux.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

void putLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLe32(const uint8_t* in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

bool hasOnlyStringKeys(plist_t dict) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    if (!iter) return plist_dict_get_size(dict) == 0;
    bool ok = true;
    for (uint32_t i = 0, n = plist_dict_get_size(dict); i < n; ++i) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        ok = ok && key != nullptr && value != nullptr;
        std::free(key);
    }
    std::free(iter);
    return ok;
}

}  // namespace

void PlistFree::operator()(void* p) const {
    plist_free(static_cast<plist_t>(p));
}

int connectUsbmuxd() {
    return connectUsbmuxdAt(kUsbmuxdPath);
}

int connectUsbmuxdAt(const char* path) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) return -1;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
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
    putLe32(&buffer[0], kUsbmuxHeaderSize + xmlSize);
    putLe32(&buffer[4], 1);  // version
    putLe32(&buffer[8], 8);  // property-list message
    putLe32(&buffer[12], tag);
    std::memcpy(&buffer[kUsbmuxHeaderSize], xml, xmlSize);
    plist_to_xml_free(xml);
    return sendAll(fd, buffer);
}

Plist parseUsbmuxPayload(const Bytes& payload) {
    if (payload.empty()) return nullptr;
    plist_t parsed = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(payload.data()),
                      static_cast<uint32_t>(payload.size()), &parsed);
    Plist result(parsed);
    if (!result || plist_get_node_type(parsed) != PLIST_DICT || !hasOnlyStringKeys(parsed)) {
        return nullptr;
    }
    return result;
}

Plist usbmuxRecv(int fd) {
    uint8_t header[kUsbmuxHeaderSize];
    if (!readExact(fd, header, sizeof header)) return nullptr;
    const uint32_t length = getLe32(header);
    if (length < kUsbmuxHeaderSize || length > kMaxUsbmuxReply) return nullptr;
    auto payload = readN(fd, int64_t{length} - kUsbmuxHeaderSize);
    if (!payload) return nullptr;
    return parseUsbmuxPayload(*payload);
}
