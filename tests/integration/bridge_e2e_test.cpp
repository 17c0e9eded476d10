// The whole road on this machine: an app plays into "Quillwave" through the audio server, the
// driver loops it back, tetherstream captures, converts and streams it, and the phone stand-in
// records it. Each test starts its own server, phone stand-ins and bridge, in private mount and
// network namespaces where permitted (USB mode through the usbmuxd stand-in on the fixed
// /var/run/usbmuxd); elsewhere in TCP mode on the machine's loopback.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "bridge_fixture.h"

namespace {

using namespace bridge_e2e;

const char* const kBanner =
    "QWV Bridge \u2014 capture the QWV device and stream to the phone over USB";

// How a frame of the ramp (frame n: left = low 16 bits, right = high 16 bits, each minus 32768
// over 32768) arrived: as the bridge maps it at full volume, within 1 LSB of half of it (the
// -6.02 dB gain), as exact zeros, or none of these (on the way from one to another).
enum class Heard { kFull, kHalf, kSilent, kBetween };

Heard heardRampFrame(const qwprobe::Pcm16& pcm, size_t i, uint64_t n) {
    const float x[2] = {static_cast<float>((n & 0xFFFF) - 32768.0) / 32768.0f,
                        static_cast<float>(((n >> 16) & 0xFFFF) - 32768.0) / 32768.0f};
    const int16_t got[2] = {pcm.left[i], pcm.right[i]};
    bool full = true, half = true, silent = true;
    for (int c = 0; c < 2; ++c) {
        full = full && got[c] == static_cast<int16_t>(x[c] * 32767.0f);
        half = half && std::fabs(got[c] - 0.5 * x[c] * 32767.0) <= 1.0;
        silent = silent && got[c] == 0;
    }
    return full ? Heard::kFull : half ? Heard::kHalf : silent ? Heard::kSilent : Heard::kBetween;
}

// Runs of frames heard the same way, in order: (kind, length). A frame on the way that happens
// to be at one of the gains (a ramp from 0 to 1 passes 0.5) is on the way all the same: runs
// shorter than an IO buffer count as kBetween.
std::vector<std::pair<Heard, size_t>> rampRuns(const qwprobe::Pcm16& pcm, size_t first,
                                               size_t frames) {
    std::vector<std::pair<Heard, size_t>> heard, runs;
    for (size_t n = 0; n < frames && first + n < pcm.left.size(); ++n) {
        const Heard h = heardRampFrame(pcm, first + n, n);
        if (heard.empty() || heard.back().first != h) heard.emplace_back(h, 0);
        ++heard.back().second;
    }
    for (auto [h, length] : heard) {
        if (length < 256) h = Heard::kBetween;
        if (runs.empty() || runs.back().first != h) runs.emplace_back(h, 0);
        runs.back().second += length;
    }
    return runs;
}

// The ramp's road, with the audio server making the choices given where the platform leaves
// them open.
class RampRoad : public BridgeEndToEnd {
  protected:
    void run(const std::string& behaviour);
};

TEST_F(RampRoad, RampAt48000ArrivesCompleteInOrderWithinOneLsb) {
    run("");
}

TEST_F(RampRoad, TheSameWhenWriteMixRunsOnlyWhileAClientPlays) {
    run("write-mix-while-idle=no");
}

TEST_F(RampRoad, TheSameWhenEachCycleIsMarkedWithItsBeginAndEndOperations) {
    run("cycle-operations=yes");
}

void RampRoad::run(const std::string& behaviour) {
    startServer(behaviour);
    startPhone();
    startStreaming();
    play({"--ramp", "--seconds", "3"});
    std::this_thread::sleep_for(1500ms);  // at least one more statistics line
    stopAll();

    const auto lines = linesOf(bridge.output());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], kBanner);
    EXPECT_TRUE(hasNumberBetween(lines[1], "Found QWV device (id ", ").")) << lines[1];
    EXPECT_EQ(count(bridge.output(),
                    "AUHAL capturing QWV at 48000 Hz, hw ch=2, 256-frame buffer \u2014 set Mac "
                    "output to QWV and play."),
              1);
    EXPECT_EQ(count(bridge.output(), connectedLine()), 1);
    EXPECT_EQ(count(bridge.output(), "link lost"), 0);
    EXPECT_EQ(bridge.errors(), "");  // nothing ever goes to standard error

    const auto ramp = qwprobe::checkRamp(received());
    EXPECT_EQ(ramp.first, 0u);
    EXPECT_EQ(ramp.last, 143999u);
    EXPECT_EQ(ramp.rampFrames, 144000u);
    EXPECT_EQ(ramp.lost, 0u);
    EXPECT_EQ(ramp.repeated, 0u);
    // A player the machine stalls past its deadline has silence mixed in for it by the server,
    // as on the Mac; the road itself adds nothing.
    EXPECT_LE(ramp.foreign, playerUnderrunFrames()) << playerOutput;
    EXPECT_EQ(ramp.inexact, 0u);  // equal rates: passed through bit for bit, then truncated
}

// The device's volume and mute, set with qwctl while the road runs: a change takes one IO buffer
// of the device (256 frames: 255 on the way, the last at the new gain), -6.02 dB halves the ramp
// within 1 LSB, mute gives exact zeros, full volume stays bit-exact, and a sine turned down and
// up again never steps further than it does on its own.
TEST_F(BridgeEndToEnd, VolumeAndMuteReachThePhoneInOneBufferWithoutClicks) {
    startServer();
    startPhone();
    startStreaming();
    playWhileControlling(
        {"--ramp", "--seconds", "6", "--lead-ms", "200"},
        {{"volume", "--db", "-6.0206"}, {"mute", "on"}, {"volume", "1"}, {"mute", "off"}});
    const uint64_t rampUnderruns = playerUnderrunFrames();
    playWhileControlling({"--sine", "997", "--level", "0.9", "--seconds", "3", "--lead-ms", "200"},
                         {{"volume", "0.5"}, {"volume", "1"}});
    const uint64_t sineUnderruns = playerUnderrunFrames();
    stopAll();
    const auto pcm = received();

    // The ramp: 288000 frames from the first that is not silence.
    size_t first = 0;
    while (first < pcm.left.size() && pcm.left[first] == 0 && pcm.right[first] == 0) ++first;
    const size_t rampEnd = first + 288000;
    ASSERT_LT(rampEnd, pcm.left.size());
    const auto runs = rampRuns(pcm, first, 288000);
    std::string shape;
    for (const auto& [heard, frames] : runs) {
        shape += "FHSB"[static_cast<int>(heard)] + std::to_string(frames) + " ";
    }
    // A player the machine stalled past its lead had silence mixed in for it: the ramp's
    // numbering then no longer follows the recording's.
    if (rampUnderruns == 0) {
        EXPECT_EQ(runs.size(), 7u) << shape;
        const Heard expected[] = {Heard::kFull,   Heard::kBetween, Heard::kHalf, Heard::kBetween,
                                  Heard::kSilent, Heard::kBetween, Heard::kFull};
        for (size_t r = 0; r < std::min<size_t>(runs.size(), 7); ++r) {
            EXPECT_EQ(runs[r].first, expected[r]) << shape;
            if (expected[r] == Heard::kBetween) {
                EXPECT_EQ(runs[r].second, 255u) << shape;
            } else {
                EXPECT_GT(runs[r].second, 4800u) << shape;
            }
        }
    } else {
        std::printf("player underran by %llu frames; ramp shape not checked: %s\n",
                    static_cast<unsigned long long>(rampUnderruns), shape.c_str());
    }

    // The sine: its own largest step is 2 A sin(pi f / fs), plus 1 for the truncation.
    size_t sineFirst = rampEnd, sineLast = pcm.left.size() - 1;
    while (sineFirst < sineLast && std::abs(pcm.left[sineFirst]) < 100) ++sineFirst;
    while (sineLast > sineFirst && std::abs(pcm.left[sineLast]) < 100) --sineLast;
    ASSERT_GT(sineLast - sineFirst, 2u * 48000u);
    const double amplitude = 0.9 * 32767.0;
    const double ownStep = 2 * amplitude * std::sin(M_PI * 997.0 / 48000.0) + 1;
    int maxStep = 0, quietPeak = 32767;
    for (size_t i = sineFirst; i < sineLast; ++i) {
        maxStep = std::max(maxStep, std::abs(pcm.left[i + 1] - pcm.left[i]));
    }
    for (size_t w = sineFirst; w + 2400 < sineLast; w += 2400) {  // the quietest 50 ms
        int peak = 0;
        for (size_t i = w; i < w + 2400; ++i) peak = std::max(peak, std::abs(int{pcm.left[i]}));
        quietPeak = std::min(quietPeak, peak);
    }
    EXPECT_NEAR(quietPeak, amplitude * std::pow(10.0, -24.0 / 20), 0.01 * amplitude);
    if (sineUnderruns == 0) {
        EXPECT_LE(maxStep, ownStep);
    }
    std::printf("sine steps: largest %d, the sine's own %.1f\n", maxStep, ownStep);
}

TEST_F(BridgeEndToEnd, StatisticsLineComesEverySecondWithPlausibleFigures) {
    startServer();
    startPhone();
    startStreaming();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(4500ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stopAll();

    int statistics = 0;
    for (const auto& line : linesOf(bridge.output())) {
        if (line.find("maxGap") == std::string::npos) continue;
        double gap = -1, write = -1;
        int depth = -1, end = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "\u23F1 maxGap=%lfms maxWrite=%lfms qDepth=%d%n", &gap,
                              &write, &depth, &end),
                  3)
            << line;
        EXPECT_EQ(static_cast<size_t>(end), line.size()) << line;
        for (const char* field : {"maxGap=", "maxWrite="}) {  // one decimal each
            const size_t at = line.find(field) + std::strlen(field);
            const size_t dot = line.find('.', at);
            EXPECT_EQ(line.compare(dot + 2, 2, "ms"), 0) << line;
        }
        ++statistics;
        EXPECT_GE(gap, 4.0) << line;  // callbacks every 5.3 ms; late wake-ups stretch it
        EXPECT_LT(gap, 500.0) << line;
        EXPECT_GE(write, 0.0) << line;
        EXPECT_LT(write, 500.0) << line;
        EXPECT_GE(depth, 0) << line;
        EXPECT_LE(depth, 256) << line;
    }
    // One line a second from start-up on, with a second of slack either way.
    EXPECT_GE(statistics, static_cast<int>(seconds) - 1);
    EXPECT_LE(statistics, static_cast<int>(seconds) + 3);
}

TEST_F(BridgeEndToEnd, SineAt44100ArrivesAtTheRightFrequencyCleanly) {
    usbMode = false;  // this one goes over plain TCP, so both link modes are covered
    startServer();
    int status = -1;
    server->qwctl({"--device", "Quillwave", "set-rate", "44100"}, &status);
    ASSERT_EQ(status, 0);
    startPhone();
    startStreaming();
    EXPECT_EQ(count(bridge.output(), "AUHAL capturing QWV at 44100 Hz, hw ch=2,"), 1);
    EXPECT_EQ(count(bridge.output(), connectedLine()), 1);
    play({"--sine", "997", "--level", "0.9", "--seconds", "3"});
    stopAll();

    const auto pcm = received();
    EXPECT_EQ(pcm.sampleRate, 48000u);
    const auto sine = qwprobe::checkSine(pcm, 997.0, 0.1);
    ASSERT_TRUE(sine);
    EXPECT_GT(sine->seconds, 2.5);
    EXPECT_NEAR(sine->measuredFrequency, 997.0, 0.05);
    EXPECT_NEAR(sine->amplitude, 0.9, 0.005);
    EXPECT_GT(sine->snrDb, 80.0);
}

TEST_F(BridgeEndToEnd, LinkLostMidStreamIsRestoredWithFreshAudioOnly) {
    startServer();
    startPhone();
    startStreaming();
    std::thread closer([this] {
        std::this_thread::sleep_for(1500ms);
        phone->sendLine("close");  // the app drops the connection once, mid-stream
    });
    play({"--ramp", "--seconds", "4"});
    closer.join();
    stopAll();

    EXPECT_EQ(count(phone->output(), "accepted"), 2) << phone->output();
    EXPECT_EQ(count(bridge.output(), "link lost \u2014 reconnecting\u2026"), 1) << bridge.output();
    EXPECT_EQ(count(bridge.output(), connectedLine()), 2) << bridge.output();
    // Nothing old is sent again after the reconnection; the ramp goes on to its end.
    const auto ramp = qwprobe::checkRamp(received());
    EXPECT_EQ(ramp.first, 0u);
    EXPECT_EQ(ramp.last, 191999u);
    EXPECT_EQ(ramp.repeated, 0u);
    EXPECT_LE(ramp.breaks, 1u);
    EXPECT_EQ(ramp.rampFrames + ramp.lost, 192000u);
}

TEST_F(BridgeEndToEnd, NoDeviceGivesBannerNotFoundAndStatus1WithoutStartingTheLink) {
    startServer();
    startPhone();
    // A server socket where nothing listens: the bridge sees no audio devices at all.
    ::setenv("QW_AUDIO_SERVER_SOCKET", (server->dir() + "/nothing.sock").c_str(), 1);
    startBridge();
    EXPECT_EQ(bridge.wait(20), 1);
    EXPECT_EQ(bridge.output(),
              "QWV Bridge \u2014 capture the QWV device and stream to the phone over USB\n"
              "Quillwave device not found. Install the driver first.\n");
    EXPECT_EQ(bridge.errors(), "");
    std::this_thread::sleep_for(700ms);  // a link thread would have connected by now
    EXPECT_EQ(count(phone->output(), "accepted"), 0) << phone->output();
    ::setenv("QW_AUDIO_SERVER_SOCKET", (server->dir() + "/audio.sock").c_str(), 1);
    stopAll();
}

TEST_F(BridgeEndToEnd, FailingUnitStartGivesItsLineAndStatus1) {
    startServer();
    startPhone();
    // Every capture session the server allows on the device is taken, so the bridge's unit
    // initialises but cannot start.
    Child holder = server->start("qwprobe", kProbeToolPath, {"hold", "64"});
    ASSERT_TRUE(holder.waitForLine("holding 64 capture sessions", 30)) << holder.output();
    startBridge();
    EXPECT_EQ(bridge.wait(20), 1);
    const auto lines = linesOf(bridge.output());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(hasNumberBetween(lines.back(), "AudioOutputUnitStart failed (", ")"))
        << bridge.output();
    EXPECT_EQ(count(bridge.output(), "AUHAL capturing"), 0);
    EXPECT_EQ(bridge.errors(), "");
    holder.kill(SIGTERM);
    holder.wait(10);
    stopAll();
}

// With nothing running (no audio server, no sound server, no usbmuxd), on both capture roads:
// --help and -h print the manual and exit 0; an unknown option is named right after the banner,
// before the device lookup or the sound server, and the bridge goes on as before.
TEST_F(BridgeEndToEnd, HelpAndUnknownOptionsOnBothCaptureRoadsWithNothingRunning) {
    TempDir dir;
    ::setenv("QW_AUDIO_SERVER_SOCKET", dir.file("no-audio-server.sock").c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + dir.file("no-sound-server.sock")).c_str(), 1);
    int runs = 0;
    const auto run = [&](std::vector<std::string> args, int status) {
        Child b(dir.path, "tetherstream" + std::to_string(runs++), kBridgePath, args);
        EXPECT_EQ(b.wait(20), status) << b.output();
        EXPECT_EQ(b.errors(), "");
        return b.output();
    };
    for (const std::vector<std::string>& road :
         {std::vector<std::string>{}, std::vector<std::string>{"--capture", "standin"}}) {
        std::vector<std::string> args = road;
        args.insert(args.end(), {"--tcp", "--recevier", "--help"});
        const std::string manual = run(args, 0);
        EXPECT_EQ(manual.rfind("usage: tetherstream", 0), 0u) << manual;
        for (const char* text :
             {"--tcp [HOST]", "--receiver NAME", "--find", "--verbose", "--capture standin",
              "-h, --help", "  tetherstream   ", "tetherstream --tcp 192.168.1.20",
              "tetherstream --receiver Kitchen", "tetherstream --find",
              "tetherstream --capture standin"}) {
            EXPECT_NE(manual.find(text), std::string::npos) << text << " missing in\n" << manual;
        }
        EXPECT_EQ(count(manual, "QWV Bridge"), 0);
        EXPECT_EQ(count(manual, "ignoring"), 0);
        args = road;
        args.push_back("-h");
        EXPECT_EQ(run(args, 0), manual);
    }

    EXPECT_EQ(run({"--capture", "standin", "--recevier", "Kitchen", "--tcp", "10.0.0.2", "-v"}, 1),
              std::string(kBanner) +
                  "\nignoring unknown option --recevier\nignoring unknown option -v\n"
                  "Quillwave device not found. Install the driver first.\n");
    const auto lines = linesOf(run({"--recevier", "Kitchen"}, 1));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], kBanner);
    EXPECT_EQ(lines[1], "ignoring unknown option --recevier");
    EXPECT_EQ(lines[2].rfind("No sound server (", 0), 0u) << lines[2];
    ::unsetenv("PULSE_SERVER");
    ::unsetenv("QW_AUDIO_SERVER_SOCKET");
}

// Digital silence for 10 s with the link up gives one line saying where macOS allows the
// microphone; more than 10 s of sound never does.
TEST_F(BridgeEndToEnd, SilenceForTenSecondsWithTheLinkUpIsToldOnceASineNever) {
    startServer();
    startPhone();
    startStreaming();
    const char* notice = "Privacy & Security \u2192 Microphone";
    play({"--sine", "440", "--level", "0.5", "--seconds", "12"});
    EXPECT_EQ(count(bridge.output(), notice), 0) << bridge.output();
    // Silence from here on: the line within 10 s of captured sound, give or take stalls.
    const auto line = bridge.waitForLine(notice, 40);
    ASSERT_TRUE(line) << bridge.output();
    EXPECT_EQ(*line,
              "\u26A0 only silence captured for 10 s: if something is playing to Quillwave, "
              "macOS may be withholding the device \u2014 allow tetherstream (or the terminal it "
              "runs in) in System Settings \u2192 Privacy & Security \u2192 Microphone. It can "
              "also be plain silence.");
    stopAll();
    EXPECT_EQ(count(bridge.output(), notice), 1);
    EXPECT_EQ(count(bridge.output(), "link lost"), 0);
}

}  // namespace
