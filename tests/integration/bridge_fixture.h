// The whole road for the end-to-end tests: the audio server with the driver, the phone
// stand-ins and the bridge, each test starting its own, in private mount and network namespaces
// where permitted (USB mode through the usbmuxd stand-in on the fixed /var/run/usbmuxd);
// elsewhere in TCP mode on the machine's loopback.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_processes.h"
#include "child_process.h"
#include "private_namespaces.h"
#include "received_audio.h"

namespace bridge_e2e {

using namespace std::chrono_literals;

inline const char* kBridgePath = "bridge/tetherstream";
inline const char* kPhoneAppPath = "tools/phone/phone-app";
inline const char* kUsbmuxdPath = "tools/phone/phone-usbmuxd";
inline const char* kProbeToolPath = "tools/probe/qwprobe";

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "<prefix><decimal number><suffix>", the number with an optional minus sign.
inline bool hasNumberBetween(const std::string& line, const std::string& prefix,
                             const std::string& suffix) {
    if (line.size() <= prefix.size() + suffix.size() || line.rfind(prefix, 0) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string number =
        line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    const size_t digits = number[0] == '-' ? 1 : 0;
    return number.size() > digits &&
           number.find_first_not_of("0123456789", digits) == std::string::npos;
}

inline int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (const auto& line : linesOf(text)) n += line.find(needle) != std::string::npos;
    return n;
}

// What every whole-road test shares: private namespaces (USB mode) or TCP mode, the audio server
// with the driver, the usbmuxd stand-in in front of an app on port 7000, the bridge, and the WAV
// the receiving end writes.
class WholeRoad : public ::testing::Test {
  protected:
    void enterNamespacesOrTcpMode() {
        bool denied = false;
        const std::string why = enterPrivateNamespaces(&denied);
        usbMode = why.empty();
        if (!usbMode && !denied) FAIL() << why;
        if (!usbMode) std::printf("private namespaces not permitted (%s): TCP mode\n", why.c_str());
    }

    void startServer(const std::string& behaviour = "") {
        server = std::make_unique<AudioServerRun>(behaviour);
    }

    // In USB mode: the multiplexing service, with one phone whose port 7000 is the local app's.
    void startUsbmuxdInFront() {
        if (!usbMode) return;
        usbmuxd = server->start("phone-usbmuxd", kUsbmuxdPath, {"--device", "7:USB:phone"});
        for (int i = 0; i < 1000 && ::access("/var/run/usbmuxd", F_OK) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }

    // The bridge capturing the stand-in audio server (on Linux the sound server is its default).
    Child startBridgeProcess(const std::string& name) {
        std::vector<std::string> args{"--capture", "standin"};
        if (!usbMode) args.push_back("--tcp");
        return server->start(name, kBridgePath, args);
    }

    qwprobe::Pcm16 received() {
        std::string error;
        auto pcm = qwprobe::readPcm16Wav(wavPath(), error);
        EXPECT_TRUE(pcm) << error;
        return pcm.value_or(qwprobe::Pcm16{});
    }

    std::string wavPath() const { return server->dir() + "/received.wav"; }

    bool usbMode = false;
    std::unique_ptr<AudioServerRun> server;
    Child usbmuxd;
};

class BridgeEndToEnd : public WholeRoad {
  protected:
    void SetUp() override { enterNamespacesOrTcpMode(); }

    // The receiving app on port 7000, and in USB mode the multiplexing service in front of it.
    void startPhone(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--port", "7000", "--wav", wavPath(), "--report-ms", "1000"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.begin(), std::string(std::getenv("QW_BUILD_DIR")) + "/" + kPhoneAppPath);
        phone = std::make_unique<ChildProcess>(args, server->dir() + "/phone-app.log", true);
        ASSERT_TRUE(phone->waitForLines("listening", 1, 10s)) << phone->output();
        startUsbmuxdInFront();
    }

    void startBridge() { bridge = startBridgeProcess("tetherstream"); }

    // Starts the bridge and waits until it captures and has a link.
    void startStreaming() {
        startBridge();
        ASSERT_TRUE(bridge.waitForLine("AUHAL capturing QWV at ", 15)) << bridge.output();
        ASSERT_TRUE(bridge.waitForLine("\u2705 connected \u2014 streaming", 15)) << bridge.output();
    }

    void play(const std::vector<std::string>& args) {
        Child player = server->start("qwplay", kPlayPath, args);
        const auto status = player.wait(60);
        ASSERT_EQ(status, 0) << player.output() << player.errors();
        playerOutput = player.output();
        std::this_thread::sleep_for(300ms);  // the last buffers on their way to the phone
    }

    // Plays, and runs each qwctl command 1.2 s after the one before while the player runs.
    void playWhileControlling(const std::vector<std::string>& args,
                              const std::vector<std::vector<std::string>>& commands) {
        Child player = server->start("qwplay", kPlayPath, args);
        for (const auto& command : commands) {
            std::this_thread::sleep_for(1200ms);
            int status = -1;
            const std::string out = server->qwctl(command, &status);
            EXPECT_EQ(status, 0) << out;
        }
        ASSERT_EQ(player.wait(60), 0) << player.output() << player.errors();
        playerOutput = player.output();
        std::this_thread::sleep_for(300ms);
    }

    // The silence the server mixed in for the last player when it missed its deadlines.
    uint64_t playerUnderrunFrames() const {
        unsigned long long played = 0, missed = 0;
        const size_t at = playerOutput.find("qwplay: played ");
        if (at == std::string::npos ||
            std::sscanf(playerOutput.c_str() + at, "qwplay: played %llu frames, %llu underrun",
                        &played, &missed) != 2) {
            ADD_FAILURE() << "no underrun count from the player: " << playerOutput;
        }
        return missed;
    }

    // Ends the bridge (it has no other way to end) and the phone, which then closes its WAV.
    void stopAll() {
        bridge.kill(SIGTERM);
        bridge.wait(10);
        const int status = phone->stop();
        ASSERT_TRUE(WIFEXITED(status)) << "the receiving app did not end by itself";
        usbmuxd.kill(SIGTERM);
        usbmuxd.wait(10);
    }

    std::string connectedLine() const {
        return usbMode ? "\u2705 connected \u2014 streaming (usbmux)"
                       : "\u2705 connected \u2014 streaming (tcp 127.0.0.1:7000)";
    }

    std::unique_ptr<ChildProcess> phone;
    std::string playerOutput;  // what the last play() printed
    Child bridge;
};

}  // namespace bridge_e2e
