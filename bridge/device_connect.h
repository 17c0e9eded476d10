#pragma once
// Reaching the receiving app: through usbmuxd (list the USB-attached phones, then ask the
// service for a tunnel to a port on one of them) or, in TCP mode, over a plain IPv4 connection.
// All calls block, keep no state and report failure by an empty list or -1, never printing.
// Each can also say why it failed, through an optional `why` (see link_down.h).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/link_down.h"

// Identifiers ("DeviceID") of the USB-attached devices, in the service's order. Empty when the
// service cannot be reached, the exchange fails or the reply is not a list of dictionaries.
// Devices attached otherwise than by USB are left out.
std::vector<int64_t> listUSBDevices();
// `why` is set whenever the result is empty: the service's connection failed (usbmuxdMissing,
// usbmuxdRefused), the exchange failed (usbmuxdNoAnswer) or no USB device is listed (noUsbDevice).
std::vector<int64_t> listUSBDevicesAt(const char* usbmuxdPath, LinkDownReason* why = nullptr);

// A descriptor that is now a byte pipe to `port` on device `id`, or -1 (service unreachable,
// exchange failed, or the service refused). The connection is opened fresh and closed on failure.
int connectToDevice(int64_t id, uint16_t port);
// On -1, `why` says usbmuxdMissing, usbmuxdRefused, usbmuxdNoAnswer or portRefused (the service
// answered with a refusal: nothing listens on that port of the phone).
int connectToDeviceAt(const char* usbmuxdPath, int64_t id, uint16_t port,
                      LinkDownReason* why = nullptr);

// "PortNumber" of the connect request: the port with its two bytes exchanged (7000 -> 22555).
uint16_t usbmuxPortNumber(uint16_t port);

// A connected IPv4 TCP socket to `host` (a dotted IPv4 literal) and `port` with TCP_NODELAY on,
// or -1. A host that is not such a literal fails without any connection attempt. On -1, `why`
// says tcpBadHost, tcpRefused (nothing listens there) or tcpUnreachable (any other failure).
// With a `limit` above zero the connection attempt gives up after that long (tcpUnreachable):
// a host that has left the network would otherwise hold it for minutes.
// The bound on one TCP connection attempt of the link supervisor (--tcp HOST, --receiver NAME):
// a receiver that has left the network loses every SYN, and the kernel would otherwise retry for
// about two minutes, with its next SYN up to a minute away when the receiver comes back.
inline constexpr std::chrono::milliseconds kTcpConnectLimit{1000};

int connectTCP(const std::string& host, uint16_t port, LinkDownReason* why = nullptr,
               std::chrono::milliseconds limit = std::chrono::milliseconds(0));
