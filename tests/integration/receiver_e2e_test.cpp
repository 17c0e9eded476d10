// The receiving end on this machine: an app plays into "Quillwave", tetherstream streams it, and
// qwreceiver plays it: to its clocked null output (written to a WAV file) or to a PulseAudio
// daemon the test starts for itself. Each test starts its own processes, in private mount and
// network namespaces where permitted (then the bridge reaches the receiver through the usbmuxd
// stand-in, as it would reach a phone); elsewhere in TCP mode on the machine's loopback.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "audio_processes.h"
#include "bridge_fixture.h"
#include "child_process.h"
#include "private_namespaces.h"
#include "private_pipewire.h"
#include "received_audio.h"
#include "sine_windows.h"

namespace {

using namespace std::chrono_literals;

const char* kReceiverPath = "receiver/app/qwreceiver";

using bridge_e2e::count;
using bridge_e2e::linesOf;

// The receiver's report as the bridge prints it, whole:
// "📊 buffer 5.1/5 ms · drift +212 ppm · underruns 0 · overruns 0".
bool isReportLine(const std::string& line) {
    double level = 0, target = 0;
    char sign = 0;
    unsigned ppm = 0, underruns = 0, overruns = 0;
    int used = -1;
    const int n = std::sscanf(line.c_str(),
                              "\xF0\x9F\x93\x8A buffer %lf/%lf ms \xC2\xB7 drift %c%u ppm \xC2\xB7 "
                              "underruns %u \xC2\xB7 overruns %u%n",
                              &level, &target, &sign, &ppm, &underruns, &overruns, &used);
    return n == 6 && used == static_cast<int>(line.size()) && (sign == '+' || sign == '-');
}

struct Figures {
    double drift = 0;
    int underruns = 0, overruns = 0, connections = 0, replaced = 0;
};

// The last "figures:" line of the receiver.
Figures lastFigures(const std::string& output) {
    Figures f;
    for (const auto& line : linesOf(output)) {
        if (line.rfind("figures: ", 0) != 0) continue;
        std::sscanf(line.c_str(),
                    "figures: buffer %*f/%*f ms \xC2\xB7 drift %lf ppm \xC2\xB7 underruns %d "
                    "\xC2\xB7 overruns %d \xC2\xB7 connections %d \xC2\xB7 replaced %d",
                    &f.drift, &f.underruns, &f.overruns, &f.connections, &f.replaced);
    }
    return f;
}

// The number after `key` on each "figures:" line of the receiver that carries it.
std::vector<double> figureSeries(const std::string& output, const std::string& key) {
    std::vector<double> values;
    for (const auto& line : linesOf(output)) {
        const size_t at = line.find(key);
        if (line.rfind("figures: ", 0) == 0 && at != std::string::npos) {
            values.push_back(std::strtod(line.c_str() + at + key.size(), nullptr));
        }
    }
    return values;
}

// Seconds in which the null output woke up more than 20 ms late: the machine stalled the
// receiver then, which may cost a window or disturb the lock like an underrun does.
int lateSeconds(const std::string& output) {
    const auto late = figureSeries(output, "worst wake-up late ");
    return static_cast<int>(
        std::count_if(late.begin(), late.end(), [](double ms) { return ms > 20; }));
}

// The 100 ms windows that the bridge's own measured stalls may spoil: each second whose longest
// capture gap or socket write ("⏱ maxGap=Gms maxWrite=Wms ...") went past 20 ms may spoil the
// windows it spans and two more (the fades and the loop settling again).
int bridgeStallWindows(const std::string& output) {
    int windows = 0;
    for (const auto& line : linesOf(output)) {
        double gap = 0, write = 0;
        int depth = 0;
        if (std::sscanf(line.c_str(), "\u23F1 maxGap=%lfms maxWrite=%lfms qDepth=%d", &gap, &write,
                        &depth) != 3) {
            continue;
        }
        // Frames waiting in the queue mean the sender fell behind by that many callbacks.
        const double worst = std::max({gap, write, depth * 256 * 1000.0 / 48000});
        if (worst > 20) windows += static_cast<int>(std::ceil(worst / 100)) + 2;
    }
    return windows;
}

// The windows spanned by the `explained` longest silences (quiet runs of 10 samples or more)
// in y[from, to]: an underrun plays silence for as long as the sound is missing, however long
// that is, so each one the receiver counted explains one silence, and no more.
int explainedSilenceWindows(const std::vector<int16_t>& y, size_t from, size_t to, int explained,
                            size_t window) {
    std::vector<size_t> silences;
    size_t run = 0;
    for (size_t i = from; i <= to && i < y.size(); ++i) {
        run = std::abs(y[i]) <= 300 ? run + 1 : 0;
        if (run == 10) silences.push_back(0);
        if (run >= 10) silences.back() = run;
    }
    std::sort(silences.rbegin(), silences.rend());
    int windows = 0;
    for (size_t i = 0; i < silences.size() && i < static_cast<size_t>(explained); ++i) {
        windows += static_cast<int>(silences[i] / window);
    }
    return windows;
}

// Where the sound starts and ends (|sample| above `level`).
std::pair<size_t, size_t> soundSpan(const std::vector<int16_t>& y, int level = 300) {
    size_t first = y.size(), last = 0;
    for (size_t i = 0; i < y.size(); ++i) {
        if (std::abs(y[i]) > level) first = std::min(first, i), last = i;
    }
    return {first, last};
}

// The left channel of a raw s16le stereo recording (parec --raw).
std::vector<int16_t> leftOfRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<int16_t> left;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        left.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                            static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    return left;
}

// parec recording the null sink's monitor "qwnull.monitor" to `raw`.
std::unique_ptr<ChildProcess> recordMonitor(const std::string& raw, const std::string& log) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/parec", "--raw", "-d", "qwnull.monitor",
                                 "--format=s16le", "--rate=48000", "--channels=2",
                                 "--latency-msec=100", raw},
        log);
}

class ReceiverEndToEnd : public bridge_e2e::WholeRoad {
  protected:
    void SetUp() override {
        enterNamespacesOrTcpMode();
        if (HasFatalFailure()) return;
        startServer();
    }

    void startReceiver(std::vector<std::string> args) {
        // Nothing of a test is announced on the machine's network.
        args.insert(args.begin(), {"--listen", "127.0.0.1", "--port", "7000", "--no-announce"});
        receiver = server->start("qwreceiver", kReceiverPath, args);
        ASSERT_TRUE(receiver.waitForLine("listening on 127.0.0.1:7000", 10)) << receiver.errors();
        startUsbmuxdInFront();
    }

    Child startBridge(const std::string& name) {
        Child bridge = startBridgeProcess(name);
        EXPECT_TRUE(bridge.waitForLine("\u2705 connected \u2014 streaming", 15)) << bridge.output();
        return bridge;
    }

    void play(const std::vector<std::string>& args) {
        Child player = server->start("qwplay", kPlayPath, args);
        ASSERT_EQ(player.wait(90), 0) << player.output() << player.errors();
    }

    Child receiver;
};

// A sine through the whole road to a null output whose clock runs 500 ppm fast: once the
// receiver has locked, the output is one unbroken sine (every 100 ms window fits cleanly, so
// there is no gap and no phase jump) at the pitch the skewed clock calls for, and the bridge
// prints the receiver's reports.
TEST_F(ReceiverEndToEnd, NullOutputAt500PpmLocksAndPlaysAnUnbrokenSineAtTheSkewedPitch) {
    startReceiver({"--null-output", "--clock-ppm", "500", "--wav", wavPath()});
    Child bridge = startBridge("tetherstream");
    play({"--sine", "1000", "--level", "0.5", "--seconds", "26"});
    std::this_thread::sleep_for(300ms);
    receiver.kill(SIGTERM);
    ASSERT_EQ(receiver.wait(10), 0) << receiver.output();
    bridge.kill(SIGTERM);
    bridge.wait(10);

    const Figures f = lastFigures(receiver.output());
    EXPECT_EQ(f.connections, 1);
    // Each underrun restarts the playout and disturbs the loop; a run whose machine stalled
    // more than twice can be judged for gaps and reports, not for how exactly it locked. (Such
    // stalls, 80 ms and more, also overrun the buffer's bound once the output resumes.)
    const int stalls = lateSeconds(receiver.output());
    const int bridgeStalls = bridgeStallWindows(bridge.output());
    const bool steady = f.underruns <= 2 && stalls <= 2;
    std::printf(
        "%d underruns, %d seconds with a late wake-up, %d windows the bridge's stalls "
        "may spoil%s\n",
        f.underruns, stalls, bridgeStalls, steady ? "" : " on a busy machine: lock not judged");
    if (steady) {
        EXPECT_EQ(f.overruns, 0);
        EXPECT_NEAR(f.drift, 500, 50) << receiver.output();
    }
    int reports = 0;
    for (const auto& line : linesOf(bridge.output())) {
        if (line.rfind("\xF0\x9F\x93\x8A ", 0) != 0) continue;
        ++reports;
        EXPECT_TRUE(isReportLine(line)) << line;
    }
    EXPECT_GE(reports, 22) << bridge.output();

    const auto pcm = received();
    const auto [first, last] = soundSpan(pcm.left);
    // Sound the bridge could not capture while it stalled is missing from the timeline.
    ASSERT_GT(last + size_t{4800} * bridgeStalls, first + 24 * 48000) << "too little sound";
    // The sound, read at 48 kHz, has the pitch 1000 Hz / (1 + 500e-6) = 999.50 Hz. The loop
    // locks within ~10 s and narrows; from 14 s on every window is judged, up to the end. A run
    // whose lock is not judged may still be settling far from that pitch: its windows are
    // fitted within a wider band, so that they judge gaps and jumps only.
    const auto fits =
        fitWindows(pcm.left, first + 14 * 48000, 4800, 48000, 999.50, steady ? 0.3 : 1.5, 32768.0);
    ASSERT_GE(fits.size(), 80u);
    const auto judged = judgeWindows(fits);
    const double medianHz = judged.medianHz;
    const int broken = judged.broken;
    // Within 0.05 Hz, as for the bridge's own pitch checks: the stand-in audio server's clock and
    // the stalls of a loaded machine move the level-based estimate by some tens of ppm. After an
    // underrun the target rises and then comes down, and the level's pull on the rate (at most
    // 200 ppm, 0.2 Hz here) drains the extra for some seconds: the pitch is then judged within
    // that pull.
    if (steady) {
        const double tolerance = f.underruns == 0 ? 0.05 : 0.25;
        EXPECT_NEAR(medianHz, 999.50, tolerance) << "drift estimate " << f.drift;
    }
    // A loaded two-core machine stalls now and then for tens of ms, at times for seconds; each
    // underrun it causes is counted by the receiver, and each stall of the output measured as a
    // late wake-up, and either may spoil up to three windows (fade out, silence, fade in, and
    // the loop settling again) and those its silence spans; a stall the bridge measured spoils
    // what it spans. Nothing else may.
    const int silenceWindows =
        explainedSilenceWindows(pcm.left, first + 14 * 48000, last, f.underruns + stalls, 4800);
    std::printf("%d broken windows; %d spanned by silences that underruns explain\n", broken,
                silenceWindows);
    // One short unexplained glitch a run is allowed, as in the PulseAudio test.
    EXPECT_LE(broken, 1 + 3 * (f.underruns + stalls) + bridgeStalls + silenceWindows)
        << "windows with a gap or a jump, beyond the underruns and stalls\n"
        << receiver.output();
}

// The link is lost half-open (the bridge stops dead) and a new bridge connects: the new
// connection replaces the old one at once, the receiver starts a fresh buffer, and only the new
// bridge's sound follows.
TEST_F(ReceiverEndToEnd, NewConnectionReplacesAHalfOpenOneWithAFreshBuffer) {
    startReceiver({"--null-output", "--wav", wavPath()});
    Child first = startBridge("tetherstream-1");
    play({"--sine", "1000", "--level", "0.5", "--seconds", "2"});
    first.kill(SIGSTOP);  // half-open: the socket stays, nothing more comes
    Child second = startBridge("tetherstream-2");
    ASSERT_TRUE(receiver.waitForLine("connection 2 from", 10)) << receiver.output();
    first.kill(SIGKILL);
    first.wait(10);
    play({"--sine", "1500", "--level", "0.5", "--seconds", "3"});
    std::this_thread::sleep_for(1200ms);  // one more figures line
    receiver.kill(SIGTERM);
    ASSERT_EQ(receiver.wait(10), 0) << receiver.output();
    second.kill(SIGTERM);
    second.wait(10);

    EXPECT_EQ(count(receiver.output(), "ended (replaced by a new connection)"), 1)
        << receiver.output();
    const Figures f = lastFigures(receiver.output());
    EXPECT_EQ(f.connections, 2);
    EXPECT_EQ(f.replaced, 1);

    // Every 100 ms window is the first connection's 1000 Hz, the second's 1500 Hz, or neither
    // (silence, the change-over); once 1500 Hz has begun, 1000 Hz never comes back (nothing
    // stale). Each connection starts its drift loop afresh (wide at first, so the pitch still
    // moves a little): a window counts as one or the other at 30 dB.
    const auto pcm = received();
    const auto [start, end] = soundSpan(pcm.left);
    ASSERT_LT(start, end);
    int old = 0, fresh = 0, staleAfterFresh = 0;
    std::string windows;  // one letter per window: o(ld), f(resh), - (neither)
    for (size_t at = start; at + 4800 <= end; at += 4800) {
        // A band of ±1.5 Hz: early on, each connection's loop may move the rate by 1000 ppm.
        const auto a = fitWindow(pcm.left, at, 4800, 48000, 1000, 1.5, 32768.0);
        const auto b = fitWindow(pcm.left, at, 4800, 48000, 1500, 1.5, 32768.0);
        // A window of digital silence fits any sine "perfectly" (nothing is left over): it
        // counts as neither.
        const bool isOld = a.fit.snrDb > 30 && a.fit.amplitude > 0.05;
        const bool isFresh = b.fit.snrDb > 30 && b.fit.amplitude > 0.05;
        if (isOld) {
            ++old;
            staleAfterFresh += fresh > 0;
        }
        fresh += isFresh;
        windows += isOld ? 'o' : isFresh ? 'f' : '-';
    }
    EXPECT_GE(old + 3 * f.underruns, 12);
    EXPECT_EQ(staleAfterFresh, 0) << windows << "\n" << receiver.output();
    EXPECT_GE(fresh + 3 * f.underruns, 24);
}

// A PulseAudio daemon of the test's own (private runtime directory and socket, one null sink):
// a sine streamed by the bridge and played by qwreceiver comes out of the sink's monitor
// without a dropout.
TEST_F(ReceiverEndToEnd, PulseAudioSinkMonitorCarriesTheSineWithoutDropouts) {
    if (::access("/usr/bin/pulseaudio", X_OK) != 0 || ::access("/usr/bin/parec", X_OK) != 0) {
        GTEST_SKIP() << "pulseaudio or parec missing (scripts/deps installs them)";
    }
    const std::string dir = server->dir();
    const std::string socket = dir + "/pulse.sock";
    {
        std::ofstream config(dir + "/minimal.pa");
        config << "load-module module-null-sink sink_name=qwnull rate=48000 format=s16le "
                  "channels=2 channel_map=front-left,front-right\n"
               << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket
               << "\n";
    }
    ::mkdir((dir + "/pulse-home").c_str(), 0700);
    ::mkdir((dir + "/pulse-runtime").c_str(), 0700);
    ::setenv("HOME", (dir + "/pulse-home").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (dir + "/pulse-runtime").c_str(), 1);
    ::setenv("PULSE_RUNTIME_PATH", (dir + "/pulse-runtime").c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    ChildProcess pulse({"/usr/bin/pulseaudio", "-n", "-F", dir + "/minimal.pa", "--daemonize=no",
                        "--exit-idle-time=-1", "--use-pid-file=no", "--system=no",
                        "--log-target=stderr", "--log-level=warning"},
                       dir + "/pulseaudio.log");
    struct stat st {};
    for (int i = 0; i < 500 && ::stat(socket.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(20ms);
    if (::stat(socket.c_str(), &st) != 0) {
        GTEST_SKIP() << "PulseAudio could not start here: " << pulse.output().substr(0, 400);
    }
    // The daemon's sink thread runs at a real-time priority of its own; its main thread, which
    // carries every request and write between the sink and a client, does not, and on a busy
    // machine that thread's wake-ups are what make a short stream buffer run dry. Raised where
    // permitted (the daemon has set up its own priorities by the time its socket appears).
    const sched_param mainThread{6};
    ::sched_setscheduler(pulse.id(), SCHED_FIFO, &mainThread);
    const std::string raw = dir + "/monitor.raw";
    auto capture = recordMonitor(raw, dir + "/parec.log");
    // The output chosen by default: no PipeWire answers in the private runtime directory.
    startReceiver({"--sink", "qwnull", "--pulse-latency-ms", "20"});
    ASSERT_TRUE(receiver.waitForLine("playing to pulseaudio", 10)) << receiver.output();
    // A freshly started daemon takes a moment before its sink runs at full rate.
    std::this_thread::sleep_for(3s);
    Child bridge = startBridge("tetherstream");
    play({"--sine", "1000", "--level", "0.5", "--seconds", "10"});
    std::this_thread::sleep_for(1200ms);
    capture.reset();
    // The daemon goes: one line, status 1 (the user unit starts the receiver again).
    pulse.stop();
    EXPECT_TRUE(receiver.waitForLine("pulseaudio: connection lost", 10)) << receiver.output();
    EXPECT_EQ(receiver.wait(10), 1) << receiver.output();
    bridge.kill(SIGTERM);
    bridge.wait(10);

    const Figures f = lastFigures(receiver.output());
    // PulseAudio's own count of the stream running dry: the daemon or the receiver stalled.
    const auto underflowSeries = figureSeries(receiver.output(), "pulse underflows ");
    const int underflows = underflowSeries.empty() ? 0 : static_cast<int>(underflowSeries.back());
    const int stalls = f.underruns + underflows;
    const int bridgeStalls = bridgeStallWindows(bridge.output());
    std::printf(
        "%d underruns, %d PulseAudio underflows, %d windows the bridge's stalls may spoil\n",
        f.underruns, underflows, bridgeStalls);
    // The sink and the stand-in audio server both keep this machine's time, nearly: the drift
    // found is a few hundred ppm at most (PulseAudio's null sink measured +110 to +280 ppm
    // against the bridge here), never the half of the rate that a lone first request once
    // made of it.
    EXPECT_LT(std::abs(f.drift), 1000) << receiver.output();
    const std::vector<int16_t> left = leftOfRaw(raw);
    const auto [first, last] = soundSpan(left);
    // Sound the bridge could not capture while it stalled is missing from the timeline.
    ASSERT_GT(last + size_t{4800} * bridgeStalls, first + 9 * 48000)
        << "too little sound at the monitor: " << first << " " << last << " of " << left.size()
        << "\n"
        << receiver.output();
    // No dropout: inside the sound, no quiet run longer than a sine's zero crossing, but for
    // the one short unexplained glitch the window check below allows too.
    size_t run = 0, longest = 0;
    int quietRuns = 0;
    for (size_t i = first; i <= last; ++i) {
        run = std::abs(left[i]) <= 300 ? run + 1 : 0;
        quietRuns += run == 10;
        longest = std::max(longest, run);
    }
    if (stalls == 0 && bridgeStalls == 0) {
        EXPECT_LE(quietRuns, 1) << "longest dropout " << longest << " samples\n"
                                << receiver.output();
        EXPECT_LT(longest, 480u) << "a dropout of " << longest << " samples";
    }
    // No dropout: a window with a gap or garbage in it fits below 10 dB (a pitch still moving
    // fast in the first seconds takes a window to 20-40 dB, a click or gap far lower). Each
    // underrun the receiver counted and each underflow PulseAudio counted (a stall of the
    // daemon or the receiver) may spoil up to three windows, a stall the bridge measured what
    // it spans; beyond that, one window is
    // allowed: a single short glitch now and then, with neither counted, is not yet explained
    // (a rewind of the sink is suspected).
    const auto fits = fitWindows(left, first + 2 * 48000, 4800, 48000, 1000, 1.5, 32768.0);
    int dropouts = 0;
    for (size_t i = 0; i + 2 < fits.size(); ++i) dropouts += fits[i].fit.snrDb < 10;
    EXPECT_LE(dropouts, 3 * stalls + bridgeStalls + 1) << receiver.output();
}

// A PipeWire of the test's own (private_pipewire.h: its own configuration, so the VM rule's
// 1024-frame quantum floor is not in force): the sine the bridge streams, played by the native
// output at the default --output-latency-ms, comes out of the null sink's monitor at its pitch;
// the receiver reports the quantum in force and a drift near zero (the null sink and the
// stand-in audio server both keep the monotonic clock). When the daemons go, the receiver says
// so in one line and exits with status 1; started again with them, as its unit does, it plays
// again and the bridge reconnects. (libpipewire is not built for ThreadSanitizer: this test is
// not run under TSan.)
TEST_F(ReceiverEndToEnd, PipeWireOutputPlaysTheSineAtPitchAndExitsWhenTheDaemonGoes) {
    if (!PrivatePipeWire::installed() || ::access("/usr/bin/parec", X_OK) != 0) {
        GTEST_SKIP() << "pipewire, wireplumber, pipewire-pulse or parec missing (scripts/deps)";
    }
    const std::string dir = server->dir();
    PrivatePipeWire pipewire(dir);
    std::string why;
    ASSERT_TRUE(pipewire.start(why)) << why;
    const std::string raw = dir + "/pw-monitor.raw";
    auto capture = recordMonitor(raw, dir + "/pw-parec.log");
    startReceiver({"--output", "pipewire", "--sink", "qwnull"});
    ASSERT_TRUE(receiver.waitForLine("playing to pipewire", 10)) << receiver.output();
    Child bridge = startBridge("tetherstream");
    play({"--sine", "1000", "--level", "0.5", "--seconds", "20"});
    std::this_thread::sleep_for(1200ms);
    capture.reset();
    pipewire.stop();
    EXPECT_TRUE(receiver.waitForLine("pipewire: connection lost", 10)) << receiver.output();
    EXPECT_EQ(receiver.wait(10), 1) << receiver.output();

    const Figures f = lastFigures(receiver.output());
    const auto quanta = figureSeries(receiver.output(), "pipewire quantum ");
    const auto xrunSeries = figureSeries(receiver.output(), " xruns ");
    ASSERT_FALSE(quanta.empty()) << receiver.output();
    const int xruns = xrunSeries.empty() ? 0 : static_cast<int>(xrunSeries.back());
    const int bridgeStalls = bridgeStallWindows(bridge.output());
    std::printf(
        "quantum %g frames (min-quantum %d), drift %+.1f ppm, %d underruns, %d graph "
        "xruns, %d windows the bridge's stalls may spoil\n",
        quanta.back(), PrivatePipeWire::kMinQuantum, f.drift, f.underruns, xruns, bridgeStalls);
    // 10 ms asked for: the graph runs at the largest power of two within it.
    EXPECT_EQ(quanta.back(), 256) << receiver.output();
    const bool steady = f.underruns == 0 && xruns == 0 && bridgeStalls == 0;
    if (steady) {
        EXPECT_NEAR(f.drift, 0, 20) << receiver.output();
    }

    const std::vector<int16_t> left = leftOfRaw(raw);
    const auto [first, last] = soundSpan(left);
    ASSERT_GT(last + size_t{4800} * bridgeStalls, first + 18 * 48000)
        << "too little sound at the monitor\n"
        << receiver.output();
    // The pitch, from 8 s on (the drift loop has locked): 1000 Hz within 0.05 Hz, as for the
    // null output. Each underrun or xrun may spoil up to three windows, a stall the bridge
    // measured what it spans; one short glitch beyond that is allowed, as in the other tests.
    const auto fits = fitWindows(left, first + 8 * 48000, 4800, 48000, 1000, 1.5, 32768.0);
    ASSERT_GE(fits.size(), 80u);
    const auto judged = judgeWindows(fits);
    const double medianHz = judged.medianHz;
    const int broken = judged.broken;
    if (steady) {
        EXPECT_NEAR(medianHz, 1000, 0.05) << "drift " << f.drift;
    }
    EXPECT_LE(broken, 1 + 3 * (f.underruns + xruns) + bridgeStalls) << receiver.output();

    // The sound server comes back, and so does a receiver (as the unit restarts it): it plays,
    // and the bridge, which kept retrying, connects to it.
    ASSERT_TRUE(pipewire.start(why)) << why;
    Child again = server->start("qwreceiver-again", kReceiverPath,
                                {"--listen", "127.0.0.1", "--port", "7000", "--no-announce",
                                 "--output", "pipewire", "--sink", "qwnull"});
    EXPECT_TRUE(again.waitForLine("playing to pipewire", 10)) << again.output();
    EXPECT_TRUE(again.waitForLine("connection 1 from", 30)) << again.output() << bridge.output();
    again.kill(SIGTERM);
    EXPECT_EQ(again.wait(10), 0) << again.output();
    bridge.kill(SIGTERM);
    bridge.wait(10);
}

}  // namespace
