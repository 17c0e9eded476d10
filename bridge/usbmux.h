#pragma once
// Client side of the usbmuxd message layer: every message is a 16-byte header of four
// little-endian 32-bit fields (total length, version 1, message type 8 = property list, tag)
// followed by an XML property list whose top level is a dictionary.

#include <plist/plist.h>

#include <cstdint>
#include <memory>

#include "bridge/fd_io.h"
#include "bridge/link_down.h"

struct PlistFree {
    void operator()(void* p) const;
};
using Plist = std::unique_ptr<void, PlistFree>;  // owning plist_t; null means absent

inline constexpr const char* kUsbmuxdPath = "/var/run/usbmuxd";

// Replies announcing more than this many bytes (header included) are refused unread.
inline constexpr uint32_t kMaxUsbmuxReply = 1024 * 1024;

inline constexpr uint32_t kUsbmuxHeaderSize = 16;

// Replies nested deeper than this (counting every XML element) are refused unparsed; usbmuxd's
// own replies nest six deep at most.
inline constexpr int kMaxUsbmuxNesting = 32;

// A fresh blocking connection to usbmuxd at kUsbmuxdPath, or -1 (nothing left open).
int connectUsbmuxd();

// The same for a service listening at `path`; -1 also when the path does not fit the address.
// On -1, `why` (when given) says usbmuxdMissing (no socket there) or usbmuxdRefused.
int connectUsbmuxdAt(const char* path, LinkDownReason* why = nullptr);

// Serialises `message` as an XML property list and writes header and payload in full. False
// when serialisation fails (nothing written) or a write fails (part may have been written).
// Writes use MSG_NOSIGNAL: a service that has gone gives false, never SIGPIPE.
bool usbmuxSend(int fd, plist_t message, uint32_t tag);

// Reads one message and returns its payload when it is an XML property list with a dictionary at
// the top; null on end of stream, read error, a length below 16 or above kMaxUsbmuxReply (payload
// left unread) or a payload that parseUsbmuxPayload refuses. The header's version, message type
// and tag are not examined.
Plist usbmuxRecv(int fd);

// Parses a reply payload: an XML property list whose top level is a dictionary with string keys.
// Null for an empty payload, a parse error, another top-level type, binary property lists, NUL
// bytes anywhere, and nesting deeper than kMaxUsbmuxNesting. Accepted replies can be read with
// libplist's getters without tripping its assertions.
Plist parseUsbmuxPayload(const Bytes& payload);
