// Receivers found by name on a small network of the test's own: two sides (network, mount and
// host-name namespaces) joined by a veth pair, each with a private system bus and avahi-daemon.
// qwreceiver announces itself on one side; tetherstream lists it and streams to it by name from
// the other, and follows it when it comes back on another address. Without avahi-daemon the
// receiver says so once and serves, and keeps to its allow-list. A --tcp receiver whose address
// loses every SYN is reached soon after it comes back.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_processes.h"
#include "child_process.h"
#include "mdns_sides.h"
#include "private_namespaces.h"

namespace {

using namespace std::chrono_literals;

const std::string kReceiver = buildBinary("receiver/app/qwreceiver");
const std::string kBridge = buildBinary("bridge/tetherstream");

// Enters private namespaces, or skips the test where that is not permitted or a tool is missing.
#define ENTER_PRIVATE_NETWORK_OR_SKIP()                                                           \
    do {                                                                                          \
        for (const char* tool : {"/usr/sbin/avahi-daemon", "/usr/bin/dbus-daemon",                \
                                 "/usr/bin/avahi-publish", "/usr/bin/nsenter", "/usr/sbin/ip"}) { \
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " missing (scripts/deps)";     \
        }                                                                                         \
        bool denied = false;                                                                      \
        const std::string error = enterPrivateNamespaces(&denied);                                \
        if (denied) GTEST_SKIP() << "private namespaces need root: " << error;                    \
        ASSERT_EQ(error, "");                                                                     \
    } while (0)

std::string lineWith(const ChildProcess& child, const std::string& needle) {
    for (const auto& line : child.lines()) {
        if (line.find(needle) != std::string::npos) return line;
    }
    return "";
}

// Runs tetherstream --find on `side` and returns its output once it has exited.
std::string findFrom(const NetworkSide& side, const std::string& log) {
    ChildProcess find(side.inside({kBridge, "--find"}), log);
    find.waitForLines("\u2014", 1, 10s);  // the first receiver line, then the rest of the list
    std::this_thread::sleep_for(100ms);
    find.stop();
    return find.output();
}

TEST(ReceiverDiscovery, AnnouncedReceiversAreListedAndFollowedByNameToANewAddress) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TempDir dir;
    ::mkdir(dir.file("recv").c_str(), 0755);
    ::mkdir(dir.file("send").c_str(), 0755);
    NetworkSide recv("qw-recv-side", dir.file("recv"));
    NetworkSide send("qw-send-side", dir.file("send"));
    ASSERT_TRUE(recv.ready() && send.ready());
    ASSERT_TRUE(joinSides(recv, send, dir.file("join.log")));
    ASSERT_TRUE(recv.setAddress("10.77.0.1/24") && send.setAddress("10.77.0.2/24"))
        << recv.commandLog() << send.commandLog();
    ASSERT_TRUE(recv.startAvahi()) << recv.avahiLog();
    ASSERT_TRUE(send.startAvahi()) << send.avahiLog();

    // The receiver under its host name, and beside it a hostile announcement whose name
    // carries terminal controls (an escape sequence, BEL, a C1 NEL).
    auto first = std::make_unique<ChildProcess>(recv.inside({kReceiver, "--null-output"}),
                                                dir.file("receiver1.log"));
    ChildProcess hostile(
        recv.inside({"/usr/bin/avahi-publish", "-s", "Den\x1b]0;owned\x07 speaker\xc2\x85",
                     "_quillwave._tcp", "7001"}),
        dir.file("hostile.log"));
    ASSERT_TRUE(first->waitForLines("announced as \u201Cqw-recv-side\u201D", 1, 20s))
        << first->output();
    ASSERT_TRUE(hostile.waitForLines("Established under name", 1, 20s)) << hostile.output();

    const std::string listing = findFrom(send, dir.file("find.log"));
    EXPECT_NE(listing.find("receivers found: 2\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  qw-recv-side \u2014 qw-recv-side.local:7000 (10.77.0.1)\n"),
              std::string::npos)
        << listing;
    // The hostile name arrives, but its controls and its stray byte never reach the terminal.
    EXPECT_NE(listing.find("  Den\uFFFD]0;owned\uFFFD speaker\uFFFD \u2014 "
                           "qw-recv-side.local:7001 (10.77.0.1)\n"),
              std::string::npos)
        << listing;
    EXPECT_EQ(listing.find('\x1b'), std::string::npos);

    AudioServerRun audio;  // the Quillwave device the bridge captures
    ChildProcess bridge(
        send.inside({kBridge, "--receiver", "qw-recv-side", "--verbose", "--capture", "standin"}),
        dir.file("bridge.log"));
    ASSERT_TRUE(bridge.waitForLines("streaming (tcp 10.77.0.1:7000)", 1, 20s)) << bridge.output();
    ASSERT_TRUE(first->waitForLines("connection 1 from 10.77.0.2", 1, 10s)) << first->output();

    // The receiver goes, its host moves to another address, and it comes back.
    first.reset();
    ASSERT_TRUE(recv.setAddress("10.77.0.3/24")) << recv.commandLog();
    ChildProcess moved(recv.inside({kReceiver, "--null-output"}), dir.file("receiver3.log"));
    ASSERT_TRUE(bridge.waitForLines("streaming (tcp 10.77.0.3:7000)", 1, 30s)) << bridge.output();
    EXPECT_TRUE(moved.waitForLines("connection 1 from 10.77.0.2", 1, 10s)) << moved.output();
    // While it was gone the bridge said why, once, and named the receiver it looked for.
    EXPECT_LE(bridge.countLines("no receiver named \u201Cqw-recv-side\u201D"), 2)
        << bridge.output();
    EXPECT_EQ(bridge.countLines("\u2705 connected"), 2) << bridge.output();
}

// Connects to 127.0.0.1:7000 from `source`; the descriptor, or -1.
int connectFrom(const char* source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(7000);
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the peer closes `fd` within `limit` (a read sees the end, or a reset).
bool closedByPeer(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
    char byte = 0;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

TEST(ReceiverDiscovery, WithoutAvahiItSaysSoOnceServesAndKeepsToItsAllowList) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TempDir dir;
    NetworkSide side("qw-lonely-side", dir.path);
    ASSERT_TRUE(side.ready());
    ASSERT_TRUE(side.run({"/usr/sbin/ip", "link", "set", "lo", "up"}));
    ASSERT_TRUE(side.startBus());  // a system bus, but no avahi-daemon on it
    ChildProcess receiver(
        side.inside({kReceiver, "--null-output", "--allow", "127.0.0.1", "--allow", "10.9.0.0/16"}),
        dir.file("receiver.log"));
    ASSERT_TRUE(receiver.waitForLines("playing to the null output", 1, 10s)) << receiver.output();

    // The test's own sockets live in the receiver's network from here on.
    const int netns = ::open(("/proc/" + std::to_string(side.holder()) + "/ns/net").c_str(),
                             O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::setns(netns, CLONE_NEWNET), 0);
    ::close(netns);
    const int allowed = connectFrom("127.0.0.1");
    ASSERT_GE(allowed, 0);
    ASSERT_TRUE(receiver.waitForLines("connection 1 from 127.0.0.1", 1, 10s)) << receiver.output();

    const int kRefused = 30;
    const auto burst = std::chrono::steady_clock::now();
    for (int i = 0; i < kRefused; ++i) {
        const int fd = connectFrom("127.0.0.2");
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(closedByPeer(fd, 5s)) << "refused connection " << i << " left open";
        ::close(fd);
    }
    const auto burstSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - burst).count();
    // Every refusal is counted, in lines at most a second apart.
    auto refusedSoFar = [&] {
        int total = 0;
        for (const auto& line : receiver.lines()) {
            int n = 0;
            if (std::sscanf(line.c_str(), "refused %d connection", &n) == 1) total += n;
        }
        return total;
    };
    ASSERT_TRUE(
        receiver.waitFor([&](const ChildProcess&) { return refusedSoFar() >= kRefused; }, 10s))
        << receiver.output();
    EXPECT_EQ(refusedSoFar(), kRefused);
    EXPECT_LE(receiver.countLines("not on the allow-list (last from 127.0.0.2)"),
              2 + static_cast<int>(burstSeconds));

    // The allowed connection was never replaced: it still gets the receiver's reports.
    pollfd report{allowed, POLLIN, 0};
    char byte = 0;
    EXPECT_TRUE(::poll(&report, 1, 5000) == 1 && ::recv(allowed, &byte, 1, 0) == 1);
    EXPECT_EQ(receiver.countLines("connection 2 "), 0) << receiver.output();
    ::close(allowed);
    // Without avahi-daemon: one line, nothing more.
    EXPECT_EQ(receiver.countLines("avahi"), 1) << receiver.output();
    EXPECT_NE(lineWith(receiver, "avahi-daemon is not running"), "") << receiver.output();
}

// --tcp HOST where every SYN is lost (a phone gone from the network: the far end of a veth pair
// has no address, and a permanent neighbour entry keeps the near end from ever learning that).
// Each attempt gives up after about a second, so when the receiver appears 10 s after the bridge
// began trying, the bridge reaches it within 3 s; one unbounded connect would wait for the
// kernel's next SYN, 5 s later.
TEST(TcpLink, AHostThatLosesEverySynIsReachedSoonAfterItListens) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TempDir dir;
    ::mkdir(dir.file("recv").c_str(), 0755);
    ::mkdir(dir.file("send").c_str(), 0755);
    NetworkSide recv("qw-gone-side", dir.file("recv"));
    NetworkSide send("qw-send-side", dir.file("send"));
    ASSERT_TRUE(recv.ready() && send.ready());
    ASSERT_TRUE(joinSides(recv, send, dir.file("join.log")));
    ASSERT_TRUE(
        recv.run({"/usr/sbin/ip", "link", "set", kVethName, "address", "02:00:00:00:00:01"}) &&
        recv.run({"/usr/sbin/ip", "link", "set", kVethName, "up"}) &&
        send.setAddress("10.78.0.2/24") &&
        send.run({"/usr/sbin/ip", "neigh", "replace", "10.78.0.1", "lladdr", "02:00:00:00:00:01",
                  "dev", kVethName, "nud", "permanent"}))
        << recv.commandLog() << send.commandLog();

    AudioServerRun audio;
    const auto began = std::chrono::steady_clock::now();
    ChildProcess bridge(
        send.inside({kBridge, "--tcp", "10.78.0.1", "--verbose", "--capture", "standin"}),
        dir.file("bridge.log"));
    ASSERT_TRUE(bridge.waitForLines("link down", 1, 10s)) << bridge.output();
    EXPECT_EQ(bridge.countLines("\u2705 connected"), 0) << bridge.output();
    std::this_thread::sleep_until(began + 10s);

    ASSERT_TRUE(recv.setAddress("10.78.0.1/24")) << recv.commandLog();
    ChildProcess receiver(recv.inside({kReceiver, "--null-output"}), dir.file("receiver.log"));
    ASSERT_TRUE(receiver.waitForLines("playing to the null output", 1, 10s)) << receiver.output();
    const auto listening = std::chrono::steady_clock::now();
    ASSERT_TRUE(bridge.waitForLines("streaming (tcp 10.78.0.1:7000)", 1, 10s)) << bridge.output();
    const auto took = std::chrono::steady_clock::now() - listening;
    EXPECT_LT(took, 3s) << std::chrono::duration<double>(took).count() << " s\n" << bridge.output();
    EXPECT_TRUE(receiver.waitForLines("connection 1 from 10.78.0.2", 1, 10s)) << receiver.output();
}

}  // namespace
