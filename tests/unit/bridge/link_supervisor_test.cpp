#include "bridge/link_supervisor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/link_state.h"
#include "bridge/sender.h"
#include "eventually.h"
#include "fake_usbmuxd.h"

namespace {

using namespace std::chrono_literals;

const std::string kLost = "link lost — reconnecting…";
const std::string kReport = "\xF0\x9F\x93\x8A ";

// Collects the supervisor's lines.
class Lines {
  public:
    LineSink sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex);
        return lines;
    }
    int count(const std::string& line) const {
        auto v = all();
        return static_cast<int>(std::count(v.begin(), v.end(), line));
    }
    bool waitForCount(const std::string& line, int n, std::chrono::milliseconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (count(line) < n) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

  private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// The receiving app's side for TCP-mode tests: a listener on an ephemeral loopback port.
class App {
  public:
    App() { listen(); }
    ~App() {
        closeConnection();
        if (listenFd >= 0) ::close(listenFd);
    }
    void listen(uint16_t wanted = 0) {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(wanted);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
            ::listen(listenFd, 4) == 0 &&
            ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    void stopListening() {
        ::close(listenFd);
        listenFd = -1;
    }
    // Waits for the bridge's next connection; false on time-out.
    bool accept(std::chrono::milliseconds timeout = 5000ms) {
        pollfd p = {listenFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        closeConnection();
        conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        return conn >= 0;
    }
    void send(const fake::Bytes& bytes) const {
        ASSERT_EQ(::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void closeConnection() {
        if (conn >= 0) ::close(conn);
        conn = -1;
    }
    LinkTarget target() const {
        LinkTarget t;
        t.tcpMode = true;
        t.port = port;
        return t;
    }
    int listenFd = -1;
    int conn = -1;
    uint16_t port = 0;
};

fake::Bytes frame(uint32_t length, uint8_t type, const std::string& payload) {
    fake::Bytes out;
    fake::putLe32(out, length);
    out.push_back(type);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

fake::Bytes frame(uint8_t type, const std::string& payload) {
    return frame(static_cast<uint32_t>(payload.size() + 1), type, payload);
}

// Runs the supervisor loop on its own thread until the test ends.
class Supervisor {
  public:
    Supervisor(LinkTarget target, Lines& lines)
        : thread([this, target, sink = lines.sink()] { superviseLinks(target, sink, &stop); }) {}
    // The caller must make the current link end (if any) for the loop to see the stop flag.
    ~Supervisor() {
        stop = true;
        thread.join();
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST(LinkSupervisor, ConnectedLines) {
    LinkTarget usb;
    EXPECT_EQ(connectedLine(usb), "✅ connected — streaming (usbmux)");
    LinkTarget tcp;
    tcp.tcpMode = true;
    EXPECT_EQ(connectedLine(tcp), "✅ connected — streaming (tcp 127.0.0.1:7000)");
    tcp.tcpHost = "192.168.1.20";
    EXPECT_EQ(connectedLine(tcp), "✅ connected — streaming (tcp 192.168.1.20:7000)");
}

TEST(LinkSupervisor, PrintsReportsIgnoresOtherTypesAndDropsTheLinkOnBadLengths) {
    App app;
    Lines lines;
    const std::string connected = connectedLine(app.target());
    {
        Supervisor supervisor(app.target(), lines);
        ASSERT_TRUE(app.accept());
        ASSERT_TRUE(lines.waitForCount(connected, 1, 5s));
        EXPECT_GE(currentTunnel(), 0);

        app.send(frame(3, "ok"));
        app.send(frame(1, "audio?"));
        app.send(frame(2, "two"));
        app.send(frame(200, "x"));
        app.send(frame(3, ""));                   // prefix alone
        app.send(frame(3, "bad \xC3\x28 utf8"));  // prefix alone
        app.send(frame(3,
                       "bell\x07"
                       "esc\x1b[2J"));               // no control bytes reach us
        app.send(frame(3, std::string(8190, 'a')));  // length 8191: accepted
        app.send(frame(3, "after"));
        ASSERT_TRUE(lines.waitForCount(kReport + "after", 1, 5s));
        EXPECT_EQ(lines.all(),
                  (std::vector<std::string>{connected, kReport + "ok", kReport, kReport,
                                            kReport + "bell\xEF\xBF\xBD"
                                                      "esc\xEF\xBF\xBD[2J",
                                            kReport + std::string(8190, 'a'), kReport + "after"}));

        app.send(frame(8192, 3, ""));  // too long: the link is dropped unread
        ASSERT_TRUE(lines.waitForCount(kLost, 1, 5s));
        ASSERT_TRUE(app.accept());  // reconnects at once
        ASSERT_TRUE(lines.waitForCount(connected, 2, 5s));

        app.send(frame(0, 3, ""));  // length 0
        ASSERT_TRUE(lines.waitForCount(kLost, 2, 5s));
        ASSERT_TRUE(app.accept());
        ASSERT_TRUE(lines.waitForCount(connected, 3, 5s));

        app.send(frame(3, "half"));
        app.send(frame(20, 3, "cut"));  // the app goes in the middle of a frame
        ASSERT_TRUE(lines.waitForCount(kReport + "half", 1, 5s));
        app.stopListening();  // no new link: the supervisor sees the stop flag between attempts
        app.closeConnection();
        ASSERT_TRUE(lines.waitForCount(kLost, 3, 5s));
    }
    EXPECT_EQ(lines.count(kLost), 3);
    EXPECT_EQ(lines.count(connected), 3);
    EXPECT_EQ(currentTunnel(), -1);
}

ssize_t failingSend(int, const iovec*, int) {
    errno = EPIPE;
    return -1;
}

TEST(LinkSupervisor, SenderRetiringTheLinkEndsTheBlockedReadWithOneLossLine) {
    App app;
    Lines lines;
    LinkTarget target = app.target();
    int fd = connectOnce(target);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(app.accept());
    LinkEnd end = LinkEnd::notPublished;
    LinkDown why;
    std::thread link([&, sink = lines.sink()] { end = serveLink(fd, target, sink, &why); });
    ASSERT_TRUE(lines.waitForCount(connectedLine(target), 1, 5s));
    std::this_thread::sleep_for(20ms);  // the supervisor now sits in its read

    std::atomic<double> maxWriteMs{0.0};
    BatchOutcome outcome = Sender(maxWriteMs, failingSend).send({frame(1, "data")});
    EXPECT_TRUE(outcome.linkFailed);
    EXPECT_EQ(currentTunnel(), -1);  // retired (and closed) by the sender

    link.join();  // the read ended without anyone touching the app's side
    EXPECT_EQ(end, LinkEnd::retiredElsewhere) << "the supervisor must not close it again";
    EXPECT_EQ(why, LinkDown{LinkDownReason::writeFailed}) << "not the read's end of stream";
    EXPECT_EQ(lines.all(), (std::vector<std::string>{connectedLine(target), kLost}));
    char c;
    EXPECT_EQ(::read(app.conn, &c, 1), 0);  // the app sees the link end
}

TEST(LinkSupervisor, ReconnectsAndPublishesANewLinkAfterTheSenderRetires) {
    App app;
    Lines lines;
    const std::string connected = connectedLine(app.target());
    Supervisor supervisor(app.target(), lines);
    ASSERT_TRUE(app.accept());
    ASSERT_TRUE(lines.waitForCount(connected, 1, 5s));

    std::atomic<double> maxWriteMs{0.0};
    EXPECT_TRUE(Sender(maxWriteMs, failingSend).send({frame(1, "x")}).linkFailed);
    ASSERT_TRUE(app.accept());
    ASSERT_TRUE(lines.waitForCount(connected, 2, 5s));
    EXPECT_EQ(lines.count(kLost), 1);
    EXPECT_GE(currentTunnel(), 0);

    // Frames now reach the new connection.
    const fake::Bytes audio = frame(1, "abcd");
    EXPECT_EQ(Sender(maxWriteMs).send({audio}).framesWritten, 1u);
    fake::Bytes got(audio.size());
    ASSERT_EQ(::recv(app.conn, got.data(), got.size(), MSG_WAITALL),
              static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, audio);

    app.stopListening();
    app.closeConnection();
    ASSERT_TRUE(lines.waitForCount(kLost, 2, 5s));
}

TEST(LinkSupervisor, ConnectsWithinOneIntervalOnceTheAppListens) {
    App app;
    const uint16_t port = app.port;
    app.stopListening();
    Lines lines;
    Supervisor supervisor(app.target(), lines);
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(lines.all().empty()) << "failed attempts print nothing";

    app.listen(port);
    ASSERT_EQ(app.port, port);
    const auto listening = std::chrono::steady_clock::now();
    ASSERT_TRUE(app.accept());
    ASSERT_TRUE(lines.waitForCount(connectedLine(app.target()), 1, 5s));
    // One retry interval at most, with room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - listening, kRetryInterval + 1000ms);
    app.stopListening();
    app.closeConnection();
    ASSERT_TRUE(lines.waitForCount(kLost, 1, 5s));
}

TEST(LinkSupervisor, RetriesSilentlyEveryHalfSecondWhileNoPhoneIsAttached) {
    fake::Usbmuxd service([](const fake::Request&) { return fake::Reply{fake::deviceList({})}; });
    Lines lines;
    LinkTarget target;
    target.usbmuxdPath = service.path;
    {
        // Attempts at about 0, 0.5 and 1.0 s. A loaded machine may delay them, never hurry
        // them, so the time the third takes is judged from below only.
        const auto started = std::chrono::steady_clock::now();
        Supervisor supervisor(target, lines);
        ASSERT_TRUE(eventually([&] { return service.requestCount() >= 3; }, 10s));
        EXPECT_GE(std::chrono::steady_clock::now() - started, 2 * kRetryInterval - 50ms);
    }
    EXPECT_TRUE(lines.all().empty());
    for (const auto& r : service.requests()) EXPECT_EQ(r.messageType, "ListDevices");
}

TEST(LinkSupervisor, WithTwoPhonesOnlyTheFirstIsEverTried) {
    fake::Usbmuxd service([](const fake::Request& r) {
        if (r.messageType == "ListDevices") {
            return fake::Reply{
                fake::deviceList({fake::deviceEntry("3", "Network"), fake::deviceEntry("11", "USB"),
                                  fake::deviceEntry("12", "USB")})};
        }
        return fake::Reply{fake::result("<integer>3</integer>")};  // the first one refuses
    });
    Lines lines;
    LinkTarget target;
    target.usbmuxdPath = service.path;
    auto connects = [&service] {
        const auto requests = service.requests();
        return std::count_if(requests.begin(), requests.end(),
                             [](const fake::Request& r) { return r.messageType == "Connect"; });
    };
    {
        Supervisor supervisor(target, lines);
        // Two rounds, about half a second apart; waited for, not slept for, on a slow machine.
        eventually([&] { return connects() >= 2; }, 10s, 10ms);
    }
    EXPECT_TRUE(lines.all().empty());
    for (const auto& r : service.requests()) {
        if (r.messageType != "Connect") continue;
        EXPECT_EQ(r.deviceId, 11);
        EXPECT_EQ(r.portNumber, 22555);
    }
    EXPECT_GE(connects(), 2);
}

TEST(LinkSupervisor, UsbLinkThroughTheService) {
    fake::Usbmuxd service([](const fake::Request& r) {
        if (r.messageType == "ListDevices") {
            return fake::Reply{fake::deviceList({fake::deviceEntry("4", "USB")})};
        }
        return fake::Reply{fake::result("<integer>0</integer>"), true};
    });
    Lines lines;
    LinkTarget target;
    target.usbmuxdPath = service.path;
    const std::string connected = "✅ connected — streaming (usbmux)";
    Supervisor supervisor(target, lines);
    ASSERT_TRUE(lines.waitForCount(connected, 1, 5s));
    auto tunnels = service.tunnelEnds();
    ASSERT_EQ(tunnels.size(), 1u);
    const fake::Bytes report = frame(3, "hello");
    ASSERT_EQ(::write(tunnels[0], report.data(), report.size()),
              static_cast<ssize_t>(report.size()));
    ASSERT_TRUE(lines.waitForCount(kReport + "hello", 1, 5s));
    ::shutdown(tunnels[0], SHUT_RDWR);  // the phone goes away
    ASSERT_TRUE(lines.waitForCount(kLost, 1, 5s));
    ASSERT_TRUE(lines.waitForCount(connected, 2, 5s));  // and comes back at once
    supervisor.stop = true;
    ::shutdown(service.tunnelEnds().at(1), SHUT_RDWR);
}

// Each way a connection attempt can fail says so, while the result stays -1.
TEST(LinkSupervisor, ConnectionAttemptsSayWhyTheyFailed) {
    auto attempt = [](const LinkTarget& target) {
        LinkDownReason why = LinkDownReason::none;
        EXPECT_EQ(connectOnce(target, &why), -1);
        return why;
    };
    LinkTarget usb;
    usb.usbmuxdPath = "/nonexistent/qw/usbmuxd";
    EXPECT_EQ(attempt(usb), LinkDownReason::usbmuxdMissing);
    {
        fake::Usbmuxd gone([](const fake::Request&) { return fake::Reply{}; });
        usb.usbmuxdPath = gone.path;
        EXPECT_EQ(attempt(usb), LinkDownReason::usbmuxdNoAnswer);  // closes without a reply
    }
    {
        std::string reply = "devices";
        fake::Usbmuxd service([&reply](const fake::Request& r) {
            if (r.messageType == "ListDevices") {
                return fake::Reply{reply == "none"
                                       ? fake::deviceList({fake::deviceEntry("3", "Network")})
                                       : fake::deviceList({fake::deviceEntry("4", "USB")})};
            }
            return fake::Reply{
                fake::result(reply == "refuse" ? "<integer>3</integer>" : "<string>0</string>")};
        });
        usb.usbmuxdPath = service.path;
        reply = "none";
        EXPECT_EQ(attempt(usb), LinkDownReason::noUsbDevice);
        reply = "refuse";
        EXPECT_EQ(attempt(usb), LinkDownReason::portRefused);
        reply = "odd";
        EXPECT_EQ(attempt(usb), LinkDownReason::usbmuxdNoAnswer);
    }
    App app;
    LinkTarget tcp = app.target();
    app.stopListening();
    EXPECT_EQ(attempt(tcp), LinkDownReason::tcpRefused);
    tcp.tcpHost = "name.example";
    EXPECT_EQ(attempt(tcp), LinkDownReason::tcpBadHost);

    LinkTarget shown = tcp;
    shown.tcpHost = "10.0.0.5";
    shown.port = 7000;
    EXPECT_EQ(linkDownLine({LinkDownReason::tcpRefused}, shown),
              "link down: connection to 10.0.0.5:7000 refused");
    EXPECT_EQ(linkDownLine({LinkDownReason::framingError, 8192}, shown),
              "link down: the phone sent a frame length of 8192");
    EXPECT_EQ(linkDownLine({LinkDownReason::portRefused}, shown),
              "link down: the phone refused port 7000 (app not listening)");
    EXPECT_EQ(linkDownLine({LinkDownReason::usbmuxdMissing}, LinkTarget{}),
              "link down: no usbmuxd socket at /var/run/usbmuxd");
}

// With --verbose, one line per change of reason, after the loss line for a link that ended;
// never once per retry.
TEST(LinkSupervisor, VerboseSaysWhyTheLinkIsDownOncePerChange) {
    App app;
    const uint16_t port = app.port;
    app.stopListening();
    LinkTarget target = app.target();
    target.verbose = true;
    const std::string refused =
        "link down: connection to 127.0.0.1:" + std::to_string(port) + " refused";
    const std::string connected = connectedLine(target);
    Lines lines;
    {
        Supervisor supervisor(target, lines);
        ASSERT_TRUE(lines.waitForCount(refused, 1, 5s));
        std::this_thread::sleep_for(1200ms);  // two or three more refused attempts
        EXPECT_EQ(lines.all(), std::vector<std::string>{refused});

        app.listen(port);
        ASSERT_TRUE(app.accept());
        ASSERT_TRUE(lines.waitForCount(connected, 1, 5s));
        app.send(frame(8192, 3, ""));
        ASSERT_TRUE(app.accept());
        ASSERT_TRUE(lines.waitForCount(connected, 2, 5s));
        std::atomic<double> maxWriteMs{0.0};
        EXPECT_TRUE(Sender(maxWriteMs, failingSend).send({frame(1, "x")}).linkFailed);
        ASSERT_TRUE(app.accept());
        ASSERT_TRUE(lines.waitForCount(connected, 3, 5s));
        app.stopListening();
        app.closeConnection();
        ASSERT_TRUE(lines.waitForCount(refused, 2, 5s));
        std::this_thread::sleep_for(700ms);
    }
    EXPECT_EQ(lines.all(),
              (std::vector<std::string>{
                  refused, connected, kLost, "link down: the phone sent a frame length of 8192",
                  connected, kLost, "link down: a write to the phone failed", connected, kLost,
                  "link down: the phone closed the link", refused}));
}

}  // namespace
