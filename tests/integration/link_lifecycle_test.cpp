// The link end to end: the bridge's link half (link_harness: supervisor, sender, statistics and a
// stand-in render callback) against the phone stand-ins (phone-usbmuxd, phone-app), as separate
// processes. Each test runs in private mount and network namespaces, so the fixed service path
// /var/run/usbmuxd and the fixed port 7000 belong to the test alone.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "eventually.h"
#include "private_namespaces.h"

namespace {

using namespace std::chrono_literals;

const std::string kConnectedUsb = "✅ connected — streaming (usbmux)";
const std::string kConnectedTcp = "✅ connected — streaming (tcp 127.0.0.1:7000)";
const std::string kLost = "link lost — reconnecting…";
const std::string kReport = "\xF0\x9F\x93\x8A ";

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

int exactLines(const ChildProcess& p, const std::string& line) {
    int n = 0;
    for (const auto& l : p.lines()) n += l == line;
    return n;
}

int openDescriptors(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int n = 0;
    while (::readdir(dir)) ++n;
    ::closedir(dir);
    return n;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

class LinkLifecycle : public testing::Test {
  protected:
    void SetUp() override {
        bool denied = false;
        const std::string why = enterPrivateNamespaces(&denied);
        if (!why.empty()) {
            if (denied) GTEST_SKIP() << "private namespaces are not permitted here: " << why;
            FAIL() << why;
        }
        ASSERT_FALSE(dir.path.empty());
    }

    void TearDown() override {
        for (auto& [name, process] : processes) {
            process->stop();
            const std::string out = process->output();
            EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << name << ":\n" << out;
            EXPECT_EQ(out.find("runtime error"), std::string::npos) << name << ":\n" << out;
            if (HasFailure()) {
                std::printf("--- %s (last lines)\n%s\n", name.c_str(),
                            out.substr(out.size() > 3000 ? out.size() - 3000 : 0).c_str());
            }
        }
    }

    ChildProcess& start(const std::string& name, std::vector<std::string> args,
                        bool withStdin = false) {
        auto process = std::make_unique<ChildProcess>(args, dir.file(name + ".log"), withStdin);
        EXPECT_TRUE(process->started()) << args[0];
        processes.emplace_back(name, std::move(process));
        return *processes.back().second;
    }

    ChildProcess& startService(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), buildBinary("tools/phone/phone-usbmuxd"));
        ChildProcess& service = start("usbmuxd", extra, true);
        EXPECT_TRUE(service.waitForLines("listening on /var/run/usbmuxd", 1, 5s))
            << service.output();
        return service;
    }

    ChildProcess& startApp(const std::string& name, std::vector<std::string> extra) {
        extra.insert(extra.begin(), buildBinary("tools/phone/phone-app"));
        ChildProcess& app = start(name, extra);
        EXPECT_TRUE(app.waitForLines("listening on 127.0.0.1:7000", 1, 5s)) << app.output();
        return app;
    }

    ChildProcess& startBridge(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), buildBinary("tests/integration/link_harness"));
        return start("bridge", extra);
    }

    TempDir dir;
    std::vector<std::pair<std::string, std::unique_ptr<ChildProcess>>> processes;
};

TEST_F(LinkLifecycle, UsbModeConnectsReportsAndReconnects) {
    ChildProcess& service = startService();
    ChildProcess& bridge = startBridge();

    // No phone attached: silent attempts, one every half second, seen by the service.
    std::this_thread::sleep_for(1600ms);
    const int attempts = service.countLines("request ListDevices");
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 6);
    EXPECT_EQ(bridge.countLines("✅"), 0);
    EXPECT_EQ(exactLines(bridge, kLost), 0);

    const std::string wav = dir.file("heard.wav");
    ChildProcess& app = startApp("app", {"--report-ms", "100", "--close-after-frames", "150",
                                         "--connections", "2", "--verify-pattern", "--wav", wav});
    service.sendLine("attach 7 USB phoneA");
    ASSERT_TRUE(
        bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kConnectedUsb) >= 1; }, 5s))
        << bridge.output();
    EXPECT_TRUE(bridge.waitForLines(kReport + "frames ", 1, 5s)) << bridge.output();

    // The app closes after 150 frames: one loss line, then straight back.
    ASSERT_TRUE(
        bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kLost) >= 1; }, 5s));
    ASSERT_TRUE(bridge.waitFor(
        [](const ChildProcess& b) { return exactLines(b, kConnectedUsb) >= 2; }, 5s));
    ASSERT_TRUE(app.waitForLines("exiting", 1, 5s)) << app.output();
    ASSERT_TRUE(
        bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kLost) >= 2; }, 5s));

    // With the app gone the service refuses, and the bridge keeps trying in silence.
    EXPECT_TRUE(service.waitForLines("port 7000: refused", 1, 3s)) << service.output();
    EXPECT_EQ(exactLines(bridge, kConnectedUsb), 2);
    EXPECT_EQ(exactLines(bridge, kLost), 2);
    EXPECT_EQ(app.countLines("bad frame"), 0) << app.output();
    EXPECT_EQ(app.countLines("(closed after 150 frames)"), 2) << app.output();
    for (const auto& r : service.lines()) {
        if (r.find("request Connect") != std::string::npos) {
            EXPECT_NE(r.find("device 7 port 7000"), std::string::npos) << r;
        }
    }

    EXPECT_EQ(bridge.countLines("link down"), 0) << "reasons only with --verbose";

    // The sound arrived in the WAV file: 150 frames of 256 sample frames per connection.
    struct stat info = {};
    ASSERT_EQ(::stat(wav.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 44 + 2 * 150 * 1024);
}

TEST_F(LinkLifecycle, UnpluggingThePhoneEndsTheLinkAndPluggingItInRestoresIt) {
    ChildProcess& service = startService({"--device", "7:USB:phoneA"});
    startApp("app", {"--report-ms", "0"});
    ChildProcess& bridge = startBridge();
    auto connected = [&](int n) {
        return bridge.waitFor(
            [n](const ChildProcess& b) { return exactLines(b, kConnectedUsb) >= n; }, 5s);
    };
    ASSERT_TRUE(connected(1)) << bridge.output();
    service.sendLine("detach 7");
    ASSERT_TRUE(bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kLost) >= 1; }, 5s))
        << bridge.output();
    std::this_thread::sleep_for(600ms);  // nothing attached: silent retries
    EXPECT_EQ(exactLines(bridge, kConnectedUsb), 1);
    service.sendLine("attach 7 USB phoneA");
    ASSERT_TRUE(connected(2)) << bridge.output();
    EXPECT_EQ(exactLines(bridge, kLost), 1);
}

TEST_F(LinkLifecycle, TcpModeSurvivesAMisbehavingApp) {
    ChildProcess& bridge = startBridge({"--tcp"});
    std::this_thread::sleep_for(1200ms);  // nothing listens at 127.0.0.1:7000 yet
    EXPECT_EQ(bridge.countLines("✅"), 0);
    EXPECT_EQ(exactLines(bridge, kLost), 0);

    auto stage = [&](const std::string& name, std::vector<std::string> options, int n) {
        options.insert(options.end(), {"--connections", "1"});
        ChildProcess& app = startApp(name, options);  // returns once the app listens
        const auto listening = std::chrono::steady_clock::now();
        ASSERT_TRUE(bridge.waitFor(
            [n](const ChildProcess& b) { return exactLines(b, kConnectedTcp) >= n; }, 5s))
            << bridge.output();
        // Back within one attempt interval (0.5 s) of the app listening, with room for a
        // loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - listening, 2000ms) << name;
        ASSERT_TRUE(
            bridge.waitFor([n](const ChildProcess& b) { return exactLines(b, kLost) >= n; }, 5s))
            << bridge.output();
        ASSERT_TRUE(app.waitForLines("exiting", 1, 5s)) << app.output();
        EXPECT_EQ(app.countLines("bad frame"), 0) << app.output();
    };

    stage("length8192", {"--report-ms", "0", "--bad-length", "8192", "--bad-after-frames", "10"},
          1);
    stage("length0", {"--report-ms", "0", "--bad-length", "0", "--bad-after-frames", "10"}, 2);
    stage("longreport",
          {"--report-ms", "100", "--report-length", "8191", "--close-after-ms", "600"}, 3);
    stage("badutf8", {"--report-ms", "100", "--report-hex", "ff fe 41", "--close-after-ms", "500"},
          4);

    EXPECT_EQ(exactLines(bridge, kConnectedTcp), 4);
    EXPECT_EQ(exactLines(bridge, kLost), 4);
    int longReports = 0;
    for (const auto& line : bridge.lines()) {
        longReports +=
            line.size() == kReport.size() + 8190 && line.rfind(kReport + "frames", 0) == 0;
    }
    EXPECT_GE(longReports, 2) << "reports of length 8191 are printed whole";
    EXPECT_GE(exactLines(bridge, kReport), 2) << "invalid UTF-8 prints the prefix alone";
    EXPECT_EQ(bridge.countLines("link down"), 0) << "reasons only with --verbose";
}

// --verbose: the reason the link is down, told once each time it changes and never once per
// attempt, as the world around the bridge comes up step by step and the app finally leaves.
TEST_F(LinkLifecycle, VerboseSaysWhyTheLinkIsDownOncePerChange) {
    const std::string noService = "link down: no usbmuxd socket at /var/run/usbmuxd";
    const std::string noPhone = "link down: no USB phone attached";
    const std::string refused = "link down: the phone refused port 7000 (app not listening)";
    const std::string closed = "link down: the phone closed the link";
    // Few frames, so the phone's close is seen by the link's read rather than a failed write.
    ChildProcess& bridge = startBridge({"--verbose", "--frame-us", "20000"});
    ASSERT_TRUE(bridge.waitForLines(noService, 1, 5s)) << bridge.output();
    std::this_thread::sleep_for(1200ms);  // two or three more attempts, all alike
    ChildProcess& service = startService();
    ASSERT_TRUE(bridge.waitForLines(noPhone, 1, 5s)) << bridge.output();
    std::this_thread::sleep_for(1200ms);
    service.sendLine("attach 7 USB phoneA");
    ASSERT_TRUE(bridge.waitForLines(refused, 1, 5s)) << bridge.output();
    std::this_thread::sleep_for(1200ms);
    EXPECT_GE(service.countLines("port 7000: refused"), 2) << "attempts went on in silence";

    ChildProcess& app =
        startApp("app", {"--report-ms", "0", "--close-after-frames", "20", "--connections", "1"});
    ASSERT_TRUE(
        bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kLost) >= 1; }, 10s))
        << bridge.output();
    ASSERT_TRUE(app.waitForLines("exiting", 1, 5s)) << app.output();
    ASSERT_TRUE(
        bridge.waitFor([&](const ChildProcess& b) { return exactLines(b, refused) >= 2; }, 5s))
        << bridge.output();
    std::this_thread::sleep_for(1200ms);

    std::vector<std::string> linkLines;
    for (const auto& line : bridge.lines()) {
        if (line.rfind("link ", 0) == 0 || line.rfind("✅", 0) == 0) linkLines.push_back(line);
    }
    EXPECT_EQ(linkLines, (std::vector<std::string>{noService, noPhone, refused, kConnectedUsb,
                                                   kLost, closed, refused}))
        << bridge.output();
}

TEST_F(LinkLifecycle, TwoHundredReconnectionsLeakNothingAndSplitNoFrame) {
    startService({"--device", "7:USB:phoneA"});
    ChildProcess& app =
        startApp("app", {"--report-ms", "0", "--close-after-frames", "3", "--verify-pattern"});
    ChildProcess& bridge = startBridge({"--frame-us", "1000"});

    auto accepted = [&] { return app.countLines(" accepted"); };
    auto maxDescriptorsUntil = [&](int connections) {
        int most = 0;
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (accepted() < connections && std::chrono::steady_clock::now() < end) {
            most = std::max(most, openDescriptors(bridge.id()));
            std::this_thread::sleep_for(3ms);
        }
        return most;
    };
    maxDescriptorsUntil(20);
    const int early = maxDescriptorsUntil(60);
    maxDescriptorsUntil(160);
    const int late = maxDescriptorsUntil(220);
    ASSERT_GE(accepted(), 220) << app.output();
    EXPECT_GT(early, 0);
    // The peaks are sampled, and a reconnection briefly holds a few descriptors of its own (the
    // service connection, the link, the two threads' duplicates), which a loaded machine's
    // coarser sampling may catch in one stretch and miss in the other; a leak of one descriptor
    // per reconnection would show as 100 more, one per ten reconnections as 10.
    EXPECT_LE(late, early + 8) << "descriptors must not pile up over reconnections";

    EXPECT_EQ(app.countLines("bad frame"), 0) << "a frame was split across links";
    // The app accepts a link before the bridge prints that it is connected.
    bridge.waitFor([](const ChildProcess& b) { return exactLines(b, kConnectedUsb) >= 220; }, 10s);
    // One snapshot of the output for both counts: the bridge keeps reconnecting meanwhile.
    const auto lines = bridge.lines();
    const auto count = [&](const std::string& wanted) {
        return static_cast<int>(std::count(lines.begin(), lines.end(), wanted));
    };
    const int connected = count(kConnectedUsb);
    const int lost = count(kLost);
    EXPECT_GE(connected, 220);
    EXPECT_GE(lost, connected - 1);
    EXPECT_LE(lost, connected);
}

TEST_F(LinkLifecycle, ASlowReaderStallsWritesButNotTheLink) {
    ChildProcess& bridge = startBridge({"--tcp", "--frame-us", "200"});
    ChildProcess& app =
        startApp("app", {"--report-ms", "0", "--rcvbuf", "4096", "--stall-after-frames", "200",
                         "--stall-ms", "1500", "--verify-pattern"});
    ASSERT_TRUE(bridge.waitFor(
        [](const ChildProcess& b) { return exactLines(b, kConnectedTcp) >= 1; }, 5s));
    ASSERT_TRUE(app.waitForLines("stalling", 1, 5s)) << app.output();
    const long rssBefore = residentKb(bridge.id());
    long rssPeak = rssBefore;
    for (int i = 0; i < 250; ++i) {  // the stall and a second or so after it
        rssPeak = std::max(rssPeak, residentKb(bridge.id()));
        std::this_thread::sleep_for(10ms);
    }

    // Statistics lines: "... maxWrite=<ms>ms qDepth=<n>".
    double worstWriteMs = 0;
    int deepest = 0;
    auto readStatistics = [&] {
        for (const auto& line : bridge.lines()) {
            const size_t write = line.find("maxWrite=");
            const size_t depth = line.find("qDepth=");
            if (write == std::string::npos || depth == std::string::npos) continue;
            worstWriteMs = std::max(worstWriteMs, std::stod(line.substr(write + 9)));
            deepest = std::max(deepest, std::stoi(line.substr(depth + 7)));
        }
        return worstWriteMs >= 300.0;
    };
    // The blocked write is reported on the first statistics line after it completes, up to a
    // second after the stall ends, which can be later than the sampling above on a slow machine.
    eventually(readStatistics, 10s, 50ms);
    EXPECT_GE(worstWriteMs, 300.0) << bridge.output();
    EXPECT_EQ(deepest, 256) << bridge.output();
    // Frames made during the stall (about 7500 of 1 KiB) would take some 8 MiB if they were all
    // kept; the queue keeps 256. (Under the sanitizers freed memory is held back for checking,
    // so resident size says nothing there; the in-process sender test measures the heap.)
    if (!kSanitized) {
        EXPECT_LT(rssPeak - rssBefore, 3 * 1024) << "resident memory grew during the stall";
    }
    std::printf("resident size grew by %ld KiB during the stall\n", rssPeak - rssBefore);
    EXPECT_EQ(exactLines(bridge, kLost), 0) << "a slow reader is no lost link";
    EXPECT_EQ(app.countLines("bad frame"), 0) << app.output();
}

// The service stand-in against a client no one here wrote: Debian's inetcat lists the devices
// and connects to port 7000 through it, then talks to the receiving app through the tunnel.
TEST_F(LinkLifecycle, RealClientConnectsThroughTheServiceStandIn) {
    const std::string inetcat = "/usr/bin/inetcat";
    if (::access(inetcat.c_str(), X_OK) != 0) GTEST_SKIP() << "inetcat (libusbmuxd-tools) missing";
    ChildProcess& service =
        startService({"--device", "3:Network:netphone", "--device", "9:USB:usbphone"});
    ChildProcess& app = startApp("app", {"--report-ms", "100", "--report-text", "hello inetcat"});
    ChildProcess& client = start("inetcat", {inetcat, "7000"}, true);
    // One audio frame of one sample frame (1, -1), as the bridge would send it.
    client.sendBytes(std::string("\x05\x00\x00\x00\x01\x01\x00\xff\xff", 9));
    EXPECT_TRUE(client.waitForLines("hello inetcat", 1, 5s)) << client.output();
    client.stop();
    EXPECT_TRUE(app.waitForLines("ended: frames 1 bytes 9", 1, 5s)) << app.output();
    EXPECT_EQ(service.countLines("request Connect device 9 port 7000: ok"), 1) << service.output();
}

}  // namespace
