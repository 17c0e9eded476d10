// phone-app's run-time commands (standard input) and its raw-stream and click-onset modes, as
// the soak and the latency report use them. Each test runs in private namespaces, so port 7000
// is its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "private_namespaces.h"

namespace {

using namespace std::chrono_literals;

int connectApp() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(7000);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::vector<uint8_t> stereo(int16_t left, int16_t right, size_t frames) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < frames; ++i) {
        for (int16_t v : {left, right}) {
            out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF));
            out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
        }
    }
    return out;
}

std::vector<uint8_t> audioFrame(const std::vector<uint8_t>& payload) {
    const auto length = static_cast<uint32_t>(payload.size() + 1);
    std::vector<uint8_t> frame = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length >> 16),
                                  static_cast<uint8_t>(length >> 24), 1};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

class PhoneAppControl : public testing::Test {
  protected:
    void SetUp() override {
        bool denied = false;
        const std::string why = enterPrivateNamespaces(&denied);
        if (!why.empty()) {
            if (denied) GTEST_SKIP() << "private namespaces are not permitted here: " << why;
            FAIL() << why;
        }
    }

    ChildProcess& start(std::vector<std::string> options) {
        std::vector<std::string> argv = {buildBinary("tools/phone/phone-app"), "--report-ms", "0"};
        argv.insert(argv.end(), options.begin(), options.end());
        app = std::make_unique<ChildProcess>(argv, dir.file("app.log"), true);
        EXPECT_TRUE(app->waitForLines("listening on", 1, 5s)) << app->output();
        return *app;
    }

    TempDir dir;
    std::unique_ptr<ChildProcess> app;
};

TEST_F(PhoneAppControl, CommandsCloseSendBadLengthsStallAndRefuse) {
    ChildProcess& a = start({});
    a.sendLine("close");  // nothing to close yet
    EXPECT_TRUE(a.waitForLines("no connection for: close", 1, 3s)) << a.output();
    int fd = connectApp();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(a.waitForLines("connection 1 accepted", 1, 3s)) << a.output();
    ASSERT_TRUE(sendAll(fd, audioFrame(stereo(1, 1, 16))));

    a.sendLine("bad 8192");
    uint8_t header[5] = {};
    ASSERT_EQ(::recv(fd, header, sizeof header, MSG_WAITALL), 5) << a.output();
    EXPECT_EQ(header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24, 8192);
    EXPECT_EQ(header[4], 3);  // a report type

    a.sendLine("stall 300");
    EXPECT_TRUE(a.waitForLines("stalling for 300 ms", 1, 3s)) << a.output();

    a.sendLine("close");
    EXPECT_EQ(::recv(fd, header, 1, 0), 0) << "the app's end of the connection stays open";
    EXPECT_TRUE(a.waitForLines("(closed on command)", 1, 3s)) << a.output();
    ::close(fd);

    fd = connectApp();  // still listening after a close
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(a.waitForLines("connection 2 accepted", 1, 3s)) << a.output();
    a.sendLine("refuse 2000");
    EXPECT_EQ(::recv(fd, header, 1, 0), 0);
    ::close(fd);
    ASSERT_TRUE(a.waitForLines("refusing connections for 2000 ms", 1, 3s)) << a.output();
    EXPECT_EQ(connectApp(), -1);
    ASSERT_TRUE(a.waitForLines("listening on", 2, 5s)) << a.output();
    fd = connectApp();
    EXPECT_GE(fd, 0);
    ::close(fd);

    // Commands are bounded and never echo control characters.
    a.sendLine("bad");
    a.sendLine("jump \x1b[2J");
    EXPECT_TRUE(a.waitForLines("bad command: ", 2, 3s)) << a.output();
    EXPECT_EQ(a.output().find('\x1b'), std::string::npos);
}

TEST_F(PhoneAppControl, RawStreamWithClickOnsetsTimedOnTheMonotonicClock) {
    ChildProcess& a = start({"--raw", "--onsets"});
    const int fd = connectApp();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes = stereo(0, 0, 100);
    const std::vector<uint8_t> click = stereo(16384, 77, 1);
    bytes.insert(bytes.end(), click.begin(), click.end());
    const std::vector<uint8_t> after = stereo(20000, 5, 3);  // no new onset while it stays high
    bytes.insert(bytes.end(), after.begin(), after.end());
    // A sample split across two writes waits for its other half.
    const int64_t before = monotonicNs();
    ASSERT_TRUE(sendAll(fd, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 402)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(sendAll(fd, std::vector<uint8_t>(bytes.begin() + 402, bytes.end())));
    ASSERT_TRUE(a.waitForLines("onset ", 1, 3s)) << a.output();
    const int64_t afterSend = monotonicNs();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(a.countLines("onset "), 1);
    long long ns = 0, code = 0;
    for (const auto& line : a.lines()) {
        if (std::sscanf(line.c_str(), "onset %lld code %lld", &ns, &code) == 2) break;
    }
    EXPECT_EQ(code, 77);
    EXPECT_GE(ns, before);
    EXPECT_LE(ns, afterSend);
    ::close(fd);
    EXPECT_TRUE(a.waitForLines("samples 104 (peer closed)", 1, 3s)) << a.output();
}

}  // namespace
