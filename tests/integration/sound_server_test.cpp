// tetherstream capturing the desktop's sound server: a PulseAudio daemon of the test's own
// (private runtime directory and socket), PulseAudio's own player (pacat) playing into the
// quillwave sink, and the receiving app recording what arrives. USB mode through the usbmuxd
// stand-in in private namespaces where permitted, else TCP mode on the loopback.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_processes.h"
#include "child_process.h"
#include "private_namespaces.h"
#include "received_audio.h"
#include "sine_windows.h"

namespace {

using namespace std::chrono_literals;

const char* const kConnected = "\u2705 connected \u2014 streaming";
constexpr uint32_t kRate = 48000;

// The 16-bit ramp: frame n carries the low 16 bits of n on the left, the next 16 on the right,
// each offset by -32768, so frame 0 is (-32768, -32768) and silence (0, 0) is no ramp frame.
std::pair<int16_t, int16_t> rampFrame(uint32_t n) {
    return {static_cast<int16_t>(static_cast<int32_t>(n & 0xFFFF) - 32768),
            static_cast<int16_t>(static_cast<int32_t>((n >> 16) & 0xFFFF) - 32768)};
}

void putSample(std::ofstream& out, int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    const char bytes[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    out.write(bytes, 2);
}

// Raw s16le stereo: `leadIn` frames of silence (an idle null sink loses the first moments of a
// stream while it starts up), then `frames` of the ramp, or of a half-scale sine at `hz`.
void writeSignal(const std::string& path, uint32_t rate, uint32_t leadIn, uint32_t frames,
                 double hz = 0) {
    std::ofstream out(path, std::ios::binary);
    for (uint32_t i = 0; i < leadIn; ++i) putSample(out, 0), putSample(out, 0);
    for (uint32_t n = 0; n < frames; ++n) {
        if (hz == 0) {
            const auto [l, r] = rampFrame(n);
            putSample(out, l), putSample(out, r);
            continue;
        }
        const auto v =
            static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * hz * n / rate)));
        putSample(out, v), putSample(out, v);
    }
}

// Where the ramp begins in `pcm`, and how many frames from there on are exactly the ramp.
uint32_t exactRampFrames(const qwprobe::Pcm16& pcm, uint32_t expected) {
    for (size_t i = 0; i < pcm.left.size(); ++i) {
        if (std::make_pair(pcm.left[i], pcm.right[i]) != rampFrame(0)) continue;
        uint32_t n = 0;
        while (n < expected && i + n < pcm.left.size() &&
               std::make_pair(pcm.left[i + n], pcm.right[i + n]) == rampFrame(n)) {
            ++n;
        }
        return n;
    }
    return 0;
}

// Standard output of a shell command (pactl, pacat), run to its end within 30 s.
std::string run(const std::string& command) {
    std::string text;
    if (FILE* p = ::popen(("timeout 30 " + command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) text += buf;
        ::pclose(p);
    }
    return text;
}

class SoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/bin/pulseaudio", X_OK) != 0 || ::access("/usr/bin/pacat", X_OK) != 0) {
            GTEST_SKIP() << "pulseaudio or pacat missing (scripts/deps installs them)";
        }
        bool denied = false;
        const std::string why = enterPrivateNamespaces(&denied);
        usbMode = why.empty();
        if (!usbMode && !denied) FAIL() << why;
        socket = dir.file("pulse.sock");
        ::mkdir(dir.file("home").c_str(), 0700);
        ::mkdir(dir.file("runtime").c_str(), 0700);
        ::setenv("HOME", dir.file("home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", dir.file("runtime").c_str(), 1);
        ::setenv("PULSE_RUNTIME_PATH", dir.file("runtime").c_str(), 1);
        ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    }

    // A daemon with nothing but its socket (and `extra` configuration lines).
    void startDaemon(const std::string& extra = "") {
        {
            std::ofstream config(dir.file("test.pa"));
            config << extra
                   << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket
                   << "\n";
        }
        daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "-F", dir.file("test.pa"),
                                     "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                     "--system=no", "--log-target=stderr", "--log-level=warning"},
            dir.file("pulseaudio.log"));
        struct stat st {};
        for (int i = 0; i < 500 && ::stat(socket.c_str(), &st) != 0; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(::stat(socket.c_str(), &st), 0) << daemon->output();
        // Its main thread carries every write between a player and the sink; raised where
        // permitted, as the receiver's PulseAudio test does, so a busy machine does not starve it.
        const sched_param mainThread{6};
        ::sched_setscheduler(daemon->id(), SCHED_FIFO, &mainThread);
    }

    // The receiving app on port 7000 (behind the usbmuxd stand-in in USB mode).
    void startPhone() {
        phone = std::make_unique<ChildProcess>(
            std::vector<std::string>{buildBinary("tools/phone/phone-app"), "--port", "7000",
                                     "--wav", dir.file("received.wav"), "--report-ms", "1000"},
            dir.file("phone-app.log"));
        ASSERT_TRUE(phone->waitForLines("listening", 1, 10s)) << phone->output();
        if (!usbMode) return;
        usbmuxd = std::make_unique<ChildProcess>(
            std::vector<std::string>{buildBinary("tools/phone/phone-usbmuxd"), "--device",
                                     "7:USB:phone"},
            dir.file("usbmuxd.log"));
        for (int i = 0; i < 1000 && ::access("/var/run/usbmuxd", F_OK) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }

    std::unique_ptr<ChildProcess> startBridge(const std::string& log) {
        std::vector<std::string> argv{buildBinary("bridge/tetherstream")};
        if (!usbMode) argv.push_back("--tcp");
        return std::make_unique<ChildProcess>(argv, dir.file(log));
    }

    // Waits for the `count`th capture line; returns the last capture line.
    static std::string waitForCapture(const ChildProcess& bridge, int count) {
        EXPECT_TRUE(bridge.waitForLines("Pulse capturing quillwave.monitor at ", count, 20s))
            << bridge.output();
        std::string last;
        for (const auto& line : bridge.lines()) {
            if (line.rfind("Pulse capturing ", 0) == 0) last = line;
        }
        return last;
    }

    void play(const std::string& file, uint32_t rate) {
        run("/usr/bin/pacat --raw --format=s16le --channels=2 --rate=" + std::to_string(rate) +
            " -d quillwave " + file);
        std::this_thread::sleep_for(300ms);  // the last pieces on their way to the phone
    }

    // Stops the app, which then closes its recording, and reads it.
    qwprobe::Pcm16 received() {
        phone->stop();
        std::string error;
        auto pcm = qwprobe::readPcm16Wav(dir.file("received.wav"), error);
        EXPECT_TRUE(pcm) << error;
        return pcm.value_or(qwprobe::Pcm16{});
    }

    std::string quillwaveSinks() {
        return run("/usr/bin/pactl list short sinks | grep -c quillwave");
    }

    TempDir dir;
    bool usbMode = false;
    std::string socket;
    std::unique_ptr<ChildProcess> daemon, phone, usbmuxd;
};

// The bridge makes the sink once (in the stream's format, described as "Quillwave"), a 16-bit
// ramp played into it arrives bit-exact and complete, the sink outlives the bridge, and a
// second start finds the same sink instead of making another.
TEST_F(SoundServer, RampArrivesBitExactAndTheSinkIsMadeOnceThenReused) {
    startDaemon();
    startPhone();
    auto first = startBridge("bridge-1.log");
    const std::string capture = waitForCapture(*first, 1);
    EXPECT_NE(capture.find("at 48000 Hz, 256-frame pieces"), std::string::npos) << capture;
    ASSERT_TRUE(first->waitForLines(kConnected, 1, 15s)) << first->output();
    const std::string sinks = run("/usr/bin/pactl list sinks");
    EXPECT_NE(sinks.find("Description: Quillwave"), std::string::npos) << sinks;
    EXPECT_NE(sinks.find(": s16le 2ch 48000Hz"), std::string::npos) << sinks;

    writeSignal(dir.file("ramp.raw"), kRate, kRate / 4, 2 * kRate);
    play(dir.file("ramp.raw"), kRate);
    first->stop();  // killed, as the bridge always ends
    EXPECT_EQ(quillwaveSinks(), "1\n");

    auto second = startBridge("bridge-2.log");
    waitForCapture(*second, 1);
    second->stop();
    EXPECT_EQ(quillwaveSinks(), "1\n");

    const auto lines = first->lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("Made Quillwave sink (index ", 0), 0u) << lines[1];
    const std::string index = lines[1].substr(27, lines[1].find(',') - 27);
    EXPECT_EQ(second->lines().at(1), "Found Quillwave sink (index " + index + ").");
    EXPECT_GE(first->countLines("\u23F1 maxGap="), 2) << first->output();
    EXPECT_EQ(exactRampFrames(received(), 2 * kRate), 2 * kRate);
}

// A sink the user made at 44.1 kHz, then removed and made again at 96 kHz while the bridge
// runs: the phone gets 48 kHz at the right pitch from both, and the bridge says what happened.
TEST_F(SoundServer, SinksAtOtherRatesArriveAt48kHzAtTheRightPitch) {
    startDaemon(
        "load-module module-null-sink sink_name=quillwave rate=44100 format=s16le channels=2\n");
    startPhone();
    auto bridge = startBridge("bridge.log");
    EXPECT_NE(waitForCapture(*bridge, 1).find("at 44100 Hz, converted to 48000 Hz by the server"),
              std::string::npos);
    ASSERT_TRUE(bridge->waitForLines(kConnected, 1, 15s)) << bridge->output();
    writeSignal(dir.file("sine-44k.raw"), 44100, 44100 / 4, 3 * 44100, 1000);
    play(dir.file("sine-44k.raw"), 44100);

    // Remade at 96 kHz. The bridge waits a second before making the sink itself, so this
    // normally wins; should the bridge have been quicker, its sink is replaced in turn.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string module =
            run("/usr/bin/pactl list short modules | awk '/sink_name=quillwave/ {print $1}'");
        run("/usr/bin/pactl unload-module " + module);
        const std::string loaded =
            run("/usr/bin/pactl load-module module-null-sink sink_name=quillwave rate=96000 "
                "format=s16le channels=2");
        if (loaded.find_first_not_of("0123456789\n") == std::string::npos) break;
    }
    const std::string second = waitForCapture(*bridge, 2);
    EXPECT_NE(second.find("at 96000 Hz, converted"), std::string::npos) << bridge->output();
    writeSignal(dir.file("sine-96k.raw"), 96000, 96000 / 4, 3 * 96000, 1500);
    play(dir.file("sine-96k.raw"), 96000);
    bridge->stop();
    EXPECT_EQ(bridge->countLines("Quillwave sink gone \u2014 finding or making it again."), 1);
    EXPECT_EQ(bridge->countLines(kConnected), 1);

    // Loud 100 ms windows are fitted with the pitch free within 2 Hz: those of each tone (40 dB
    // and more) have the pitch right to 0.05 Hz. Eight of each are plenty (and quick).
    const auto pcm = received();
    std::map<double, int> windows{{1000.0, 0}, {1500.0, 0}};
    for (size_t at = 0; at + 4800 <= pcm.left.size(); at += 4800) {
        double power = 0;
        for (size_t i = at; i < at + 4800; ++i) power += double(pcm.left[i]) * pcm.left[i];
        if (power / 4800 < 8000.0 * 8000.0) continue;  // the tones' RMS is 11585
        for (auto& [hz, count] : windows) {
            if (count >= 8) continue;
            const auto w = fitWindow(pcm.left, at, 4800, kRate, hz, 2.0, 32768.0);
            if (w.fit.snrDb < 40 || w.fit.amplitude < 0.4) continue;  // not this tone
            ++count;
            EXPECT_NEAR(w.hz, hz, 0.05) << "window at " << at;
            break;
        }
    }
    EXPECT_EQ(windows[1000.0], 8);
    EXPECT_EQ(windows[1500.0], 8);
}

// The daemon ends and a new one starts: the bridge says so, keeps its one link to the phone,
// makes the sink on the new daemon and the ramp arrives bit-exact again.
TEST_F(SoundServer, DaemonRestartIsSurvivedWithTheLinkKept) {
    startDaemon();
    startPhone();
    auto bridge = startBridge("bridge.log");
    waitForCapture(*bridge, 1);
    ASSERT_TRUE(bridge->waitForLines(kConnected, 1, 15s)) << bridge->output();
    daemon->stop();
    ASSERT_TRUE(bridge->waitForLines("Sound server gone \u2014 the phone link stays", 1, 10s))
        << bridge->output();
    EXPECT_TRUE(bridge->waitForLines("Sound server not back yet (", 1, 10s)) << bridge->output();
    startDaemon();
    waitForCapture(*bridge, 2);
    writeSignal(dir.file("ramp.raw"), kRate, kRate / 4, 2 * kRate);
    play(dir.file("ramp.raw"), kRate);
    bridge->stop();

    EXPECT_EQ(bridge->countLines("Made Quillwave sink (index "), 2) << bridge->output();
    EXPECT_EQ(bridge->countLines(kConnected), 1) << bridge->output();
    EXPECT_EQ(bridge->countLines("Sound server not back yet ("), 1) << bridge->output();
    EXPECT_EQ(exactRampFrames(received(), 2 * kRate), 2 * kRate);
    EXPECT_EQ(phone->countLines("accepted"), 1) << phone->output();
}

// No server at all: the banner, one line naming the reason, status 1, and nothing hangs.
TEST_F(SoundServer, NoServerPrintsOneLineAndExits1) {
    Child bridge(dir.path, "tetherstream", "bridge/tetherstream", {});
    EXPECT_EQ(bridge.wait(10), 1) << bridge.output();
    std::vector<std::string> lines;
    std::istringstream text(bridge.output());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << bridge.output();
    EXPECT_EQ(lines[1].rfind("No sound server (", 0), 0u) << lines[1];
}

}  // namespace
