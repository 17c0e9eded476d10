#pragma once
// Reaching the receiving app: through usbmuxd (list the USB-attached phones, then ask the
// service for a tunnel to a port on one of them) or, in TCP mode, over a plain IPv4 connection.
// All calls block, keep no state and report failure by an empty list or -1, never printing.

#include <cstdint>
#include <string>
#include <vector>

// Identifiers ("DeviceID") of the USB-attached devices, in the service's order. Empty when the
// service cannot be reached, the exchange fails or the reply is not a list of dictionaries.
// Devices attached otherwise than by USB are left out.
std::vector<int64_t> listUSBDevices();
std::vector<int64_t> listUSBDevicesAt(const char* usbmuxdPath);

// A descriptor that is now a byte pipe to `port` on device `id`, or -1 (service unreachable,
// exchange failed, or the service refused). The connection is opened fresh and closed on failure.
int connectToDevice(int64_t id, uint16_t port);
int connectToDeviceAt(const char* usbmuxdPath, int64_t id, uint16_t port);

// "PortNumber" of the connect request: the port with its two bytes exchanged (7000 -> 22555).
uint16_t usbmuxPortNumber(uint16_t port);

// A connected IPv4 TCP socket to `host` (a dotted IPv4 literal) and `port` with TCP_NODELAY on,
// or -1. A host that is not such a literal fails without any connection attempt.
int connectTCP(const std::string& host, uint16_t port);
