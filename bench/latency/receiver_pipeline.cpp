#include "receiver_pipeline.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "private_pipewire.h"
#include "run_support.h"

namespace {

constexpr int kLoadProcesses = 2;   // both cores
constexpr int kCaptureFrames = 64;  // parec's latency: the PulseAudio pipeline's smallest buffer
constexpr const char* kAppPort = "7001";  // qwreceiver has the bridge's 7000
constexpr double kFramesPerMs = 48;
constexpr double kSettleSeconds = 5;        // the receiver's drift loop and target settle
constexpr const char* kClickLevel = "0.9";  // still over the app's onset level after resampling

std::string msText(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms);
    return text;
}

}  // namespace

void LatencyBench::runReceiver(std::vector<LatencyRun>& runs) {
    ReceiverPipeline(*this).run(runs);
}

std::vector<ReceiverPipeline::Row> ReceiverPipeline::plannedRows() const {
    std::vector<Row> rows;
    const auto& frames = b.o.receiverBufferFrames;
    const std::string defaults = "5 ms auto / PulseAudio 10 ms (defaults)";
    const std::string binary = b.binary("receiver/app/qwreceiver");
    for (int f : frames) {
        for (bool loaded : {false, true}) {
            rows.push_back(
                {"receiver", f, loaded, {"--no-announce", "--output", "pulse"}, defaults, binary});
        }
        if (b.o.oldReceiver.empty()) continue;
        for (bool loaded : {false, true}) {  // an older build may not know --no-announce
            rows.push_back({"old-receiver", f, loaded, {}, "old: " + defaults, b.o.oldReceiver});
        }
    }
    if (frames.empty()) return rows;
    const double low = b.o.receiverLowLatencyMs, pulse = b.o.receiverLowPulseMs;
    rows.push_back({"receiver-low",
                    *std::min_element(frames.begin(), frames.end()),
                    false,
                    {"--no-announce", "--output", "pulse", "--latency-ms", msText(low),
                     "--pulse-latency-ms", msText(pulse)},
                    msText(low) + " ms auto / PulseAudio " + msText(pulse) + " ms",
                    binary});
    // PipeWire: at the first device buffer, idle; the node asks for one quantum.
    const int f = frames.front();
    for (int quantum : {128, 256}) {
        rows.push_back({"receiver-pw" + std::to_string(quantum),
                        f,
                        false,
                        {"--no-announce", "--output", "pipewire", "--output-latency-ms",
                         msText(quantum / kFramesPerMs)},
                        "5 ms auto / native PipeWire, quantum " + std::to_string(quantum),
                        binary,
                        quantum});
    }
    rows.push_back({"receiver-pwpulse",
                    f,
                    false,
                    {"--no-announce", "--output", "pulse"},
                    "5 ms auto / pipewire-pulse 10 ms, quantum 256",
                    binary,
                    256});
    return rows;
}

void ReceiverPipeline::failRest(std::vector<LatencyRun>& runs, const std::string& why) {
    for (const Row& row : plannedRows()) {
        bool done = false;
        for (const auto& r : runs) {
            done = done || (r.pipeline == row.pipeline && r.bufferFrames == row.frames &&
                            r.loaded == row.loaded);
        }
        if (done) continue;
        LatencyRun r{row.pipeline, row.frames, row.loaded, {}, why, {}};
        r.receiver.setting = row.setting;
        runs.push_back(std::move(r));
    }
    b.load.stop();
    b.stopAll();
}

ChildProcess& ReceiverPipeline::start(const std::vector<std::string>& argv,
                                      const std::string& log) {
    b.running.push_back(std::make_unique<ChildProcess>(argv, b.dir.file(log)));
    return *b.running.back();
}

std::vector<std::string> ReceiverPipeline::appLinesSince(size_t mark) const {
    auto lines = app->lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(mark, lines.size())));
    return lines;
}

// A PulseAudio of our own (one null sink at 48 kHz, one socket), the audio server with the
// driver, and the receiving app on port 7001.
bool ReceiverPipeline::startServers(std::string& why) {
    const PrivatePulse pulse = preparePulse(b.dir, "rx-", {"qwnull"}, pulseaudio, "warning");
    ChildProcess& daemon = start(pulse.command, "rx-pulseaudio.log");
    pulseDaemon = &daemon;
    if (!waitForPath(pulse.socket, 10)) {
        why = "pulseaudio did not start: " + daemon.output().substr(0, 400);
        return false;
    }
    // The daemon's main thread carries every request and write between the sink and qwreceiver;
    // the daemon gives a real-time priority only to its sink thread. Raised where permitted, as
    // scripts/demo does: otherwise its late wake-ups on a busy machine drain a short stream.
    const sched_param mainThread{6};
    ::sched_setscheduler(daemon.id(), SCHED_FIFO, &mainThread);
    const std::string serverSocket = b.dir.file("rx-audioserver.sock");
    ::setenv("QW_AUDIO_SERVER_SOCKET", serverSocket.c_str(), 1);
    ChildProcess& server = start({b.binary("platform/audioserver/audioserverd"), "--plugins",
                                  b.binary("plugins"), "--socket", serverSocket},
                                 "rx-audioserver.log");
    if (!b.waitForLine(server, "listening at", 1, 10)) {
        why = "audioserverd did not start";
        return false;
    }
    app = &start({b.binary("tools/phone/phone-app"), "--raw", "--onsets", "--report-ms", "0",
                  "--port", kAppPort},
                 "rx-app.log");
    if (!b.waitForLine(*app, "listening on", 1, 10)) {
        why = "phone-app did not start";
        return false;
    }
    return true;
}

// socat carries what `command` writes to the app; the app accepting it is the sign it runs.
bool ReceiverPipeline::startCapture(const std::string& command, std::string& why) {
    capture = &start(
        {socat, "-u", "EXEC:" + command, std::string("TCP:127.0.0.1:") + kAppPort + ",nodelay"},
        "rx-capture-" + std::to_string(connections) + ".log");
    if (!b.waitForLine(*app, "accepted", ++connections, 10)) {
        why = "the capture did not connect: " + capture->output().substr(0, 400);
        return false;
    }
    return true;
}

// The capture path's cost after PulseAudio: qw-raw-clicks in parec's place, paced as parec
// hands over the monitor, through the same socat and app.
void ReceiverPipeline::measureCapture(std::vector<LatencyRun>& runs) {
    const LatencyOptions& o = b.o;
    LatencyRun r{"receiver-capture", 0, false, {}, "", {}};
    const size_t mark = app->lines().size();
    const std::string log = b.dir.file("rx-raw-clicks.log");
    std::string why;
    if (!startCapture(b.binary("bench/latency/qw-raw-clicks") + " --count " +
                          std::to_string(o.clicks) + " --interval-ms " +
                          std::to_string(o.intervalMs) + " --log " + log,
                      why)) {
        r.note = why;
        runs.push_back(std::move(r));
        return;
    }
    const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
    const bool done = waitForClickPlayer(*app, log, playSeconds, b.stop);
    if (!done) r.note = "qw-raw-clicks did not finish";
    pause(0.3);
    r.latencies = matchClicks(parseClicks(linesOf(log)), parseOnsets(appLinesSince(mark)));
    runs.push_back(std::move(r));
}

// The whole capture with PulseAudio's playback stream and sink block in front of it:
// qw-pulse-clicks at 64 frames into the same sink, parec on its monitor (a bound); `pipeline`
// names the server ("receiver-capture": PulseAudio, "receiver-capture-pw": pipewire-pulse).
void ReceiverPipeline::measurePulseClicks(std::vector<LatencyRun>& runs,
                                          const std::string& pipeline) {
    const LatencyOptions& o = b.o;
    const std::string player = b.binary("bench/latency/qw-pulse-clicks");
    LatencyRun r{pipeline, kCaptureFrames, false, {}, "", {}};
    if (::access(player.c_str(), X_OK) != 0) {
        r.note = "qw-pulse-clicks not built (libpulse-dev)";
        runs.push_back(std::move(r));
        return;
    }
    const size_t mark = app->lines().size();
    const std::string log = b.dir.file(pipeline + "-pulse-clicks.log");
    ChildProcess play(
        {player, "--count", std::to_string(o.clicks), "--interval-ms", std::to_string(o.intervalMs),
         "--device", "qwnull", "--latency-frames", std::to_string(kCaptureFrames), "--log", log},
        b.dir.file(pipeline + "-pulse-clicks-player.log"));
    const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
    const bool done = waitForClickPlayer(play, log, playSeconds, b.stop);
    if (!done) r.note = "qw-pulse-clicks did not finish: " + play.output().substr(0, 400);
    pause(0.3);
    play.stop();
    r.latencies = matchClicks(parseClicks(linesOf(log)), parseOnsets(appLinesSince(mark)));
    runs.push_back(std::move(r));
}

LatencyRun ReceiverPipeline::clicksThroughReceiver(const Row& row, ChildProcess& receiver) {
    const LatencyOptions& o = b.o;
    const int interval = std::max(o.intervalMs, kReceiverMinIntervalMs);
    LatencyRun r{row.pipeline, row.frames, row.loaded, {}, "", {}};
    if (row.loaded) b.load.start(kLoadProcesses);
    pause(0.5);
    const auto before = parseReceiverFigures(receiver.lines());
    const size_t onsetMark = app->lines().size();
    const std::string log =
        "rx-clicks-" + row.pipeline + "-" + std::to_string(row.frames) + (row.loaded ? "-l" : "-i");
    ChildProcess probe(
        {b.binary("tools/probe/qwprobe"), "clicks", "--count", std::to_string(o.clicks),
         "--interval-ms", std::to_string(interval), "--level", kClickLevel},
        b.dir.file(log));
    const double playSeconds = o.clicks * interval / 1000.0 + 20;
    if (!b.waitForLine(probe, "clicks played", 1, playSeconds)) {
        r.note = "qwprobe did not finish: " + probe.output().substr(0, 400);
    }
    pause(1.2);  // the last clicks on their way, and one more report from the receiver
    probe.stop();
    b.load.stop();
    const auto all = parseReceiverFigures(receiver.lines());
    const std::vector<ReceiverFigures> during(
        all.begin() + static_cast<long>(std::min(before.size(), all.size())), all.end());
    r.receiver = receiverRunFigures(before.empty() ? ReceiverFigures{} : before.back(), during);
    r.receiver.setting = row.setting;
    r.latencies =
        matchResampledClicks(parseClicks(probe.lines()), parseOnsets(appLinesSince(onsetMark)),
                             interval, 2 * row.frames / kFramesPerMs);
    return r;
}

// Rows of one receiver setting and device buffer share one receiver and one bridge, started
// fresh for them.
void ReceiverPipeline::measureRows(const std::vector<Row>& rows, std::vector<LatencyRun>& runs) {
    const Row& first = rows.front();
    std::vector<std::string> argv{first.binary, "--listen", "127.0.0.1", "--port",
                                  "7000",       "--sink",   "qwnull"};
    argv.insert(argv.end(), first.receiverArgs.begin(), first.receiverArgs.end());
    const std::string name = first.pipeline + "-" + std::to_string(first.frames);
    auto fail = [&](const std::string& why) {
        for (const Row& row : rows) {
            LatencyRun r{row.pipeline, row.frames, row.loaded, {}, why, {}};
            r.receiver.setting = row.setting;
            runs.push_back(std::move(r));
        }
    };
    ChildProcess receiver(argv, b.dir.file("rx-receiver-" + name + ".log"));
    if (!b.waitForLine(receiver, "playing to", 1, 10)) {
        return fail("qwreceiver did not start: " + receiver.output().substr(0, 400));
    }
    ChildProcess bridge(
        {b.binary("bridge/tetherstream"), "--tcp", "127.0.0.1", "--capture", "standin"},
        b.dir.file("rx-bridge-" + name + ".log"));
    if (!b.waitForLine(receiver, "connection 1 from", 1, 15)) {
        return fail("tetherstream did not connect to qwreceiver: " +
                    bridge.output().substr(0, 400));
    }
    ChildProcess setBuffer(
        {b.binary("tools/audioctl/qwctl"), "set-buffer", std::to_string(first.frames)},
        b.dir.file("rx-qwctl.log"));
    b.waitForLine(setBuffer, std::to_string(first.frames), 1, 5);
    setBuffer.stop();
    pause(kSettleSeconds);
    for (const Row& row : rows) {
        if (b.stop.load()) return fail("stopped");
        runs.push_back(clicksThroughReceiver(row, receiver));
    }
    bridge.stop();
}

void ReceiverPipeline::run(std::vector<LatencyRun>& runs) {
    pulseaudio = onPath("pulseaudio"), parec = onPath("parec"), socat = onPath("socat");
    if (::access(b.binary("receiver/app/qwreceiver").c_str(), X_OK) != 0) {
        return failRest(runs,
                        "not measured: qwreceiver is not built here (it needs libpulse-dev and "
                        "libzita-resampler-dev when configuring); bench/latency/run-latency-report "
                        "installs them");
    }
    if (pulseaudio.empty() || parec.empty() || socat.empty()) {
        return failRest(runs,
                        "not measured: pulseaudio, parec or socat missing; "
                        "bench/latency/run-latency-report installs them");
    }
    std::string why;
    if (!startServers(why)) return failRest(runs, why);
    measureCapture(runs);
    const std::string monitor = parec +
                                " --raw -d qwnull.monitor --format=s16le --rate=48000 "
                                "--channels=2 --latency=" +
                                std::to_string(kCaptureFrames * 4);
    if (!startCapture(monitor, why)) return failRest(runs, why);
    pause(1.0);
    measurePulseClicks(runs, "receiver-capture");
    auto rows = plannedRows();
    std::vector<Row> pipewireRows;
    for (const Row& row : rows) {
        if (row.quantum > 0) pipewireRows.push_back(row);
    }
    rows.erase(std::remove_if(rows.begin(), rows.end(), [](const Row& r) { return r.quantum > 0; }),
               rows.end());
    for (size_t i = 0; i < rows.size();) {
        size_t end = i + 1;
        while (end < rows.size() && rows[end].pipeline == rows[i].pipeline &&
               rows[end].frames == rows[i].frames) {
            ++end;
        }
        measureRows(std::vector<Row>(rows.begin() + static_cast<long>(i),
                                     rows.begin() + static_cast<long>(end)),
                    runs);
        i = end;
    }
    runPipeWire(pipewireRows, runs);
    b.stopAll();
}

// PulseAudio and its capture go; a PipeWire of our own takes the sink's name, and each row runs
// at its forced quantum, the one in force (the settings metadata) written into its setting.
void ReceiverPipeline::runPipeWire(const std::vector<Row>& rows, std::vector<LatencyRun>& runs) {
    auto fail = [&](const std::string& why) {
        for (const Row& row : rows) {
            LatencyRun r{row.pipeline, row.frames, row.loaded, {}, why, {}};
            r.receiver.setting = row.setting;
            runs.push_back(std::move(r));
        }
    };
    if (rows.empty()) return;
    if (!PrivatePipeWire::installed()) return fail("not measured: PipeWire is not installed");
    if (capture != nullptr) capture->stop();
    if (pulseDaemon != nullptr) pulseDaemon->stop();
    const std::string dir = b.dir.file("pw");
    ::mkdir(dir.c_str(), 0700);
    PrivatePipeWire pipewire(dir);
    std::string why;
    if (!pipewire.start(why)) return fail(why);
    const std::string monitor = parec +
                                " --raw -d qwnull.monitor --format=s16le --rate=48000 "
                                "--channels=2 --latency=" +
                                std::to_string(kCaptureFrames * 4);
    pipewire.forceQuantum(256);
    if (!startCapture(monitor, why)) return fail(why);
    pause(1.0);
    measurePulseClicks(runs, "receiver-capture-pw");
    for (const Row& row : rows) {
        if (b.stop.load()) return fail("stopped");
        Row forced = row;
        forced.setting += " (force-quantum " + pipewire.forceQuantum(row.quantum) + ", min " +
                          pipewire.metadata("clock.min-quantum") + ")";
        measureRows({forced}, runs);
    }
    if (capture != nullptr) capture->stop();
}
