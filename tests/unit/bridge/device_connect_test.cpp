#include "bridge/device_connect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fake_usbmuxd.h"
#include "fd_count.h"

namespace {

using fake::deviceEntry;
using fake::Reply;
using fake::Request;

std::vector<int64_t> listWith(const fake::Bytes& reply) {
    fake::Usbmuxd service([&](const Request&) { return Reply{reply}; });
    return listUSBDevicesAt(service.path.c_str());
}

TEST(ListUSBDevices, SendsTheListRequestAndKeepsUsbDevicesInOrder) {
    fake::Usbmuxd service([](const Request&) {
        return Reply{fake::deviceList(
            {deviceEntry("7", "USB"), deviceEntry("3", "Network"), deviceEntry("42", "USB")})};
    });
    EXPECT_EQ(listUSBDevicesAt(service.path.c_str()), (std::vector<int64_t>{7, 42}));
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].messageType, "ListDevices");
    EXPECT_EQ(requests[0].clientVersion, "qwvbridge");
    EXPECT_EQ(requests[0].progName, "qwvbridge");
    EXPECT_EQ(requests[0].tag, 1u);
}

TEST(ListUSBDevices, SkipsUnusableElementsButKeepsTheRest) {
    const std::string noProperties = "<dict><key>DeviceID</key><integer>5</integer></dict>";
    const std::string stringId =
        "<dict><key>Properties</key><dict><key>ConnectionType</key><string>USB</string>"
        "<key>DeviceID</key><string>6</string></dict></dict>";
    const std::string typeNotString =
        "<dict><key>Properties</key><dict><key>ConnectionType</key><integer>1</integer>"
        "<key>DeviceID</key><integer>8</integer></dict></dict>";
    const std::string propertiesNotDict =
        "<dict><key>Properties</key><array/><key>DeviceID</key><integer>9</integer></dict>";
    EXPECT_EQ(listWith(fake::deviceList({noProperties, deviceEntry("1", "usb"), stringId,
                                         typeNotString, propertiesNotDict, deviceEntry("2", "USB "),
                                         deviceEntry("4", "USB")})),
              (std::vector<int64_t>{4}));
}

TEST(ListUSBDevices, MalformedRepliesGiveAnEmptyList) {
    using fake::message;
    using fake::plistXml;
    const std::vector<std::pair<const char*, fake::Bytes>> replies = {
        {"element not a dict", fake::deviceList({deviceEntry("1", "USB"), "<string>x</string>"})},
        {"refusal without list",
         message(plistXml("<dict><key>MessageType</key><string>Result</string>"
                          "<key>Number</key><integer>1</integer></dict>"))},
        {"list not an array", message(plistXml("<dict><key>DeviceList</key><dict/></dict>"))},
        {"top level array", message(plistXml("<array/>"))},
        {"not a plist", message("garbage, no property list at all")},
        {"empty payload", fake::rawMessage(16, "")},
        {"length below 16", fake::rawMessage(15, "")},
        {"length beyond payload", fake::rawMessage(4000, "<plist")},
        {"header cut short", fake::Bytes{1, 2, 3}},
        {"nothing", fake::Bytes{}},
    };
    for (const auto& [what, reply] : replies) {
        const int before = openDescriptorCount();
        EXPECT_TRUE(listWith(reply).empty()) << what;
        EXPECT_EQ(openDescriptorCount(), before) << what;
    }
    EXPECT_EQ(listWith(fake::deviceList({})), std::vector<int64_t>{});
}

TEST(ListUSBDevices, NoServiceGivesAnEmptyListAndLeavesNothingOpen) {
    const int before = openDescriptorCount();
    EXPECT_TRUE(listUSBDevicesAt("/nonexistent/qw/usbmuxd").empty());
    EXPECT_EQ(connectToDeviceAt("/nonexistent/qw/usbmuxd", 1, 7000), -1);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ConnectToDevice, PortNumberTravelsWithItsBytesExchanged) {
    EXPECT_EQ(usbmuxPortNumber(7000), 22555);
    EXPECT_EQ(usbmuxPortNumber(256), 1);
    EXPECT_EQ(usbmuxPortNumber(1), 256);
    fake::Usbmuxd service(
        [](const Request&) { return Reply{fake::result("<integer>3</integer>")}; });
    for (uint16_t port : {7000, 256, 1}) connectToDeviceAt(service.path.c_str(), 12, port);
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].portNumber, 22555);
    EXPECT_EQ(requests[1].portNumber, 1);
    EXPECT_EQ(requests[2].portNumber, 256);
    for (const auto& r : requests) {
        EXPECT_EQ(r.messageType, "Connect");
        EXPECT_EQ(r.deviceId, 12);
        EXPECT_EQ(r.tag, 2u);
        EXPECT_EQ(r.clientVersion, "qwvbridge");
        EXPECT_EQ(r.progName, "qwvbridge");
    }
}

TEST(ConnectToDevice, AcceptedConnectionBecomesTheTunnel) {
    fake::Usbmuxd service([](const Request&) {
        return Reply{fake::result("<integer>0</integer>"), true};
    });
    int fd = connectToDeviceAt(service.path.c_str(), 5, 7000);
    ASSERT_GE(fd, 0);
    auto ends = service.tunnelEnds();
    ASSERT_EQ(ends.size(), 1u);
    // Bytes flow both ways on the same connection, with nothing of the exchange left over.
    ASSERT_EQ(::write(ends[0], "ping", 4), 4);
    char buffer[8] = {};
    ASSERT_EQ(::read(fd, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(::write(fd, "pong", 4), 4);
    ASSERT_EQ(::read(ends[0], buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    ::close(fd);
}

TEST(ConnectToDevice, RefusalsAndBadRepliesGiveMinusOneAndCloseTheConnection) {
    using fake::message;
    using fake::plistXml;
    const std::vector<std::pair<const char*, fake::Bytes>> replies = {
        {"Number 3", fake::result("<integer>3</integer>")},
        {"Number 1", fake::result("<integer>1</integer>")},
        {"Number -1", fake::result("<integer>-1</integer>")},
        {"Number as string", fake::result("<string>0</string>")},
        {"Number as real", fake::result("<real>0</real>")},
        {"Number missing", message(plistXml("<dict><key>MessageType</key><string>Result"
                                            "</string></dict>"))},
        {"not a plist", message("nonsense")},
        {"cut short", fake::rawMessage(200, "<?xml")},
        {"nothing", fake::Bytes{}},
    };
    for (const auto& [what, reply] : replies) {
        // Counted with the service gone: it runs in this process and has descriptors of its own.
        const int before = openDescriptorCount();
        {
            fake::Usbmuxd service([&reply = reply](const Request&) { return Reply{reply}; });
            EXPECT_EQ(connectToDeviceAt(service.path.c_str(), 1, 7000), -1) << what;
        }
        EXPECT_EQ(openDescriptorCount(), before) << what;
    }
}

// A listening socket on an ephemeral loopback port.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    Listener() {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    ~Listener() { ::close(fd); }
};

TEST(ConnectTCP, ConnectsWithNoDelay) {
    Listener listener;
    ASSERT_NE(listener.port, 0);
    int fd = connectTCP("127.0.0.1", listener.port);
    ASSERT_GE(fd, 0);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    sockaddr_in peer = {};
    socklen_t peerSize = sizeof peer;
    ASSERT_EQ(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize), 0);
    EXPECT_EQ(ntohs(peer.sin_port), listener.port);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
    ::close(fd);
}

TEST(ConnectTCP, FailuresGiveMinusOneAndLeaveNothingOpen) {
    int port = 0;
    {
        Listener gone;  // a port that was just free and is closed again
        port = gone.port;
    }
    const int before = openDescriptorCount();
    EXPECT_EQ(connectTCP("127.0.0.1", static_cast<uint16_t>(port)), -1);
    // A name is not an IPv4 literal: it would have become 0.0.0.0, i.e. this machine.
    Listener listener;
    const int withListener = openDescriptorCount();
    EXPECT_EQ(connectTCP("localhost.localdomain", listener.port), -1);
    EXPECT_EQ(connectTCP("", listener.port), -1);
    EXPECT_EQ(openDescriptorCount(), withListener);
    EXPECT_EQ(withListener, before + 1);
}

}  // namespace
