#include "bridge/device_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "bridge/usbmux.h"

namespace {

const char* const kProgramName = "qwvbridge";
constexpr uint32_t kListDevicesTag = 1;
constexpr uint32_t kConnectTag = 2;

// Closes the service connection when the exchange is over, whatever the outcome.
class ServiceConnection {
  public:
    ServiceConnection(const char* path, LinkDownReason* whyFailed)
        : fd(connectUsbmuxdAt(path, whyFailed)), why(whyFailed) {}
    ~ServiceConnection() {
        if (fd >= 0) ::close(fd);
    }
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Sends the request and returns the reply dictionary, or null (the reason is reported).
    Plist exchange(plist_t request, uint32_t tag) const {
        if (fd < 0) return nullptr;  // connectUsbmuxdAt gave the reason
        Plist reply = usbmuxSend(fd, request, tag) ? usbmuxRecv(fd) : nullptr;
        if (!reply) reportLinkDown(why, LinkDownReason::usbmuxdNoAnswer);
        return reply;
    }
    int release() {
        int result = fd;
        fd = -1;
        return result;
    }

  private:
    int fd;
    LinkDownReason* why;
};

Plist newRequest(const char* messageType) {
    Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string(messageType));
    plist_dict_set_item(request.get(), "ClientVersionString", plist_new_string(kProgramName));
    plist_dict_set_item(request.get(), "ProgName", plist_new_string(kProgramName));
    return request;
}

bool isType(plist_t node, plist_type type) {
    return node != nullptr && plist_get_node_type(node) == type;
}

bool isUsb(plist_t properties) {
    plist_t type = plist_dict_get_item(properties, "ConnectionType");
    if (!isType(type, PLIST_STRING)) return false;
    const char* text = plist_get_string_ptr(type, nullptr);
    return text != nullptr && std::string(text) == "USB";
}

// The reason for a connection attempt that ended with `error` (0 or an errno).
LinkDownReason tcpConnectReason(int error) {
    if (error == 0) return LinkDownReason::none;
    return error == ECONNREFUSED ? LinkDownReason::tcpRefused : LinkDownReason::tcpUnreachable;
}

// Connects `fd` to `address`, giving up after `limit` when it is above zero (tcpUnreachable).
// None on success, else tcpRefused or tcpUnreachable. The socket is left blocking, as the link
// expects.
LinkDownReason connectWithin(int fd, const sockaddr_in& address, std::chrono::milliseconds limit) {
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    if (limit.count() <= 0) {
        return tcpConnectReason(::connect(fd, target, sizeof address) == 0 ? 0 : errno);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = ::connect(fd, target, sizeof address) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        pollfd ready{fd, POLLOUT, 0};
        int polled = 0;
        do {  // an interrupted wait goes on for the time left
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            polled = ::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        } while (polled < 0 && errno == EINTR);
        socklen_t size = sizeof error;
        const bool answered =
            polled == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0;
        if (!answered) error = ETIMEDOUT;
    }
    ::fcntl(fd, F_SETFL, flags);
    return tcpConnectReason(error);
}

}  // namespace

std::vector<int64_t> listUSBDevices() {
    return listUSBDevicesAt(kUsbmuxdPath);
}

std::vector<int64_t> listUSBDevicesAt(const char* usbmuxdPath, LinkDownReason* why) {
    ServiceConnection service(usbmuxdPath, why);
    Plist reply = service.exchange(newRequest("ListDevices").get(), kListDevicesTag);
    if (!reply) return {};
    // A reply without a proper list counts as an empty list: no device to try.
    reportLinkDown(why, LinkDownReason::noUsbDevice);
    plist_t list = plist_dict_get_item(reply.get(), "DeviceList");
    if (!isType(list, PLIST_ARRAY)) return {};
    const uint32_t count = plist_array_get_size(list);
    for (uint32_t i = 0; i < count; ++i) {
        if (!isType(plist_array_get_item(list, i), PLIST_DICT)) return {};
    }
    std::vector<int64_t> ids;
    for (uint32_t i = 0; i < count; ++i) {
        plist_t properties = plist_dict_get_item(plist_array_get_item(list, i), "Properties");
        if (!isType(properties, PLIST_DICT) || !isUsb(properties)) continue;
        plist_t id = plist_dict_get_item(properties, "DeviceID");
        if (!isType(id, PLIST_UINT)) continue;
        uint64_t value = 0;
        plist_get_uint_val(id, &value);
        ids.push_back(static_cast<int64_t>(value));
    }
    if (!ids.empty()) reportLinkDown(why, LinkDownReason::none);
    return ids;
}

uint16_t usbmuxPortNumber(uint16_t port) {
    return static_cast<uint16_t>((port & 0xFF) << 8 | port >> 8);
}

int connectToDevice(int64_t id, uint16_t port) {
    return connectToDeviceAt(kUsbmuxdPath, id, port);
}

int connectToDeviceAt(const char* usbmuxdPath, int64_t id, uint16_t port, LinkDownReason* why) {
    Plist request = newRequest("Connect");
    plist_dict_set_item(request.get(), "DeviceID", plist_new_uint(static_cast<uint64_t>(id)));
    plist_dict_set_item(request.get(), "PortNumber", plist_new_uint(usbmuxPortNumber(port)));
    ServiceConnection service(usbmuxdPath, why);
    Plist reply = service.exchange(request.get(), kConnectTag);
    if (!reply) return -1;
    plist_t number = plist_dict_get_item(reply.get(), "Number");
    if (!isType(number, PLIST_UINT)) {
        reportLinkDown(why, LinkDownReason::usbmuxdNoAnswer);
        return -1;
    }
    uint64_t value = 1;
    plist_get_uint_val(number, &value);
    if (value != 0) {
        reportLinkDown(why, LinkDownReason::portRefused);
        return -1;
    }
    reportLinkDown(why, LinkDownReason::none);
    // The service now relays every byte of this connection to and from the phone's port.
    return service.release();
}

int connectTCP(const std::string& host, uint16_t port, LinkDownReason* why,
               std::chrono::milliseconds limit) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // A host that is no IPv4 literal would leave the address 0.0.0.0, which reaches this very
    // machine: that would be a link to the wrong receiver, so it counts as a failed attempt.
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        reportLinkDown(why, LinkDownReason::tcpBadHost);
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        reportLinkDown(why, LinkDownReason::tcpUnreachable);
        return -1;
    }
    const LinkDownReason failure = connectWithin(fd, address, limit);
    reportLinkDown(why, failure);
    if (failure != LinkDownReason::none) {
        ::close(fd);
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}
