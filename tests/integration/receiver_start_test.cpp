// qwreceiver's start-up failures: each failed step prints one line naming it and the reason, and
// the program exits with status 1 instead of running on without a socket or an output.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;

// Runs qwreceiver with `args` to its end; its exit status and output lines.
std::pair<int, std::vector<std::string>> runReceiver(const TempDir& dir,
                                                     const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(std::getenv("QW_BUILD_DIR")) +
                                  "/receiver/app/qwreceiver"};
    argv.insert(argv.end(), args.begin(), args.end());
    static int runs = 0;
    ChildProcess receiver(argv, dir.file("receiver-" + std::to_string(++runs) + ".log"));
    const int status = receiver.waitExit(20s);
    return {status, receiver.lines()};
}

// A socket listening on a free loopback port, which the receiver then cannot have.
struct HeldPort {
    HeldPort() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(fd, 1) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
            port = std::to_string(ntohs(addr.sin_port));
        }
    }
    ~HeldPort() { ::close(fd); }
    int fd = -1;
    std::string port;
};

TEST(ReceiverStart, EachFailedStepPrintsOneLineAndExitsWithStatus1) {
    ASSERT_NE(std::getenv("QW_BUILD_DIR"), nullptr);
    TempDir dir;
    HeldPort held;
    ASSERT_FALSE(held.port.empty());

    auto [status, lines] =
        runReceiver(dir, {"--listen", "127.0.0.1", "--port", held.port, "--null-output"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"cannot listen on 127.0.0.1:" + held.port +
                                              ": Address already in use"});

    std::tie(status, lines) = runReceiver(dir, {"--listen", "300.1.2.3", "--null-output"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"cannot listen on 300.1.2.3:7000: not an IPv4 "
                                              "address"});

    // No sound server where the receiver is told to look: one line after the listening ones,
    // naming the output asked for; a named output never falls back to another.
    std::string freePort;
    {
        const HeldPort released;
        freePort = released.port;
    }
    ::setenv("PULSE_SERVER", ("unix:" + dir.file("no-such-socket")).c_str(), 1);
    ::setenv("PIPEWIRE_RUNTIME_DIR", dir.path.c_str(), 1);
    const std::vector<std::string> base{"--listen", "127.0.0.1", "--port", freePort};
    for (const auto& [output, failure] : std::vector<std::pair<std::string, std::string>>{
             {"pulse", "pulseaudio: cannot "},
             {"pipewire", "pipewire: no daemon answers: "},
             {"", "no sound server: neither PipeWire nor PulseAudio answers"}}) {
        auto args = base;
        if (!output.empty()) args.insert(args.end(), {"--output", output});
        std::tie(status, lines) = runReceiver(dir, args);
        EXPECT_EQ(status, 1) << output;
        ASSERT_EQ(lines.size(), 3u) << output;
        EXPECT_EQ(lines[0].rfind("listening on 127.0.0.1:", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("open to every host", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind(failure, 0), 0u) << lines[2];
        EXPECT_NE(lines[2].find(": ", 12), std::string::npos)
            << "the reason is named: " << lines[2];
    }
    ::unsetenv("PULSE_SERVER");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    // An output it does not know is a bad command line.
    std::tie(status, lines) = runReceiver(dir, {"--output", "alsa"});
    EXPECT_EQ(status, 2);
}

}  // namespace
