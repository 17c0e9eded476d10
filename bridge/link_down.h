#pragma once
// Why the link to the receiving app is not up. The connect functions report it through an
// optional out-parameter beside their usual result (-1, an empty list); the link supervisor
// reports how a link ended. Only the supervisor decides whether to print it (--verbose).

#include <cstdint>
#include <string>

enum class LinkDownReason : uint8_t {
    none,             // the link is up (or nothing has been tried yet)
    usbmuxdMissing,   // no socket at the service's path
    usbmuxdRefused,   // the socket is there but refuses (or fails) the connection
    usbmuxdNoAnswer,  // the service took the request but gave no usable reply
    noUsbDevice,      // the service lists no USB-attached phone
    portRefused,      // the phone refused the port: the app is not listening
    tcpBadHost,       // the TCP host is not a dotted IPv4 address
    tcpRefused,       // nothing listens at the TCP host and port
    tcpUnreachable,   // the TCP host cannot be reached (or the connect failed otherwise)
    peerClosed,       // the phone closed the link, or reading from it failed
    framingError,     // the phone sent a frame length outside 1..8191
    writeFailed,      // a write to the phone failed and the sender retired the link
    // no receiver named by --receiver answered in time
    receiverNotFound,
};

// A reason and, for a framing error, the length the phone sent.
struct LinkDown {
    LinkDownReason reason = LinkDownReason::none;
    uint32_t length = 0;

    bool operator==(const LinkDown&) const = default;
};

// Stores `reason` where the caller asked for it (`out` may be null).
inline void reportLinkDown(LinkDownReason* out, LinkDownReason reason) {
    if (out != nullptr) *out = reason;
}
