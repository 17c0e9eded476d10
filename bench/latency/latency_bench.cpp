#include "latency_bench.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "monotonic_ns.h"
#include "process_cpu.h"
#include "rtp_pipeline.h"
#include "run_support.h"

namespace {

constexpr int kLoadProcesses = 2;  // both cores

}  // namespace

LatencyBench::LatencyBench(LatencyOptions options, const std::atomic<bool>& stopFlag)
    : o(std::move(options)), stop(stopFlag) {}

LatencyBench::~LatencyBench() {
    load.stop();
    stopAll();
}

std::string LatencyBench::binary(const std::string& relative) const {
    return o.buildDir + "/" + relative;
}

bool LatencyBench::waitForLine(const ChildProcess& child, const std::string& needle, int count,
                               double seconds) const {
    return child.waitFor(
               [&](const ChildProcess& c) { return stop.load() || c.countLines(needle) >= count; },
               std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000))) &&
           !stop.load();
}

void LatencyBench::failRemaining(std::vector<LatencyRun>& runs,
                                 const std::vector<std::string>& pipelines,
                                 const std::string& why) {
    for (int frames : o.bufferFrames) {
        for (bool loaded : {false, true}) {
            for (const auto& pipeline : pipelines) {
                bool done = false;
                for (const auto& r : runs) {
                    done = done || (r.pipeline == pipeline && r.bufferFrames == frames &&
                                    r.loaded == loaded);
                }
                if (!done) runs.push_back({pipeline, frames, loaded, {}, why});
            }
        }
    }
    stopAll();
}

void LatencyBench::stopAll() {
    // Last started, first stopped: clients before the servers they talk to.
    while (!running.empty()) {
        running.back()->stop();
        running.pop_back();
    }
}

void LatencyBench::runQuillwave(std::vector<LatencyRun>& runs) {
    auto failAll = [&](const std::string& why) {
        for (int frames : o.bufferFrames) {
            for (bool loaded : {false, true})
                runs.push_back({"quillwave", frames, loaded, {}, why});
        }
        stopAll();
    };
    const std::string socket = dir.file("audioserver.sock");
    ::setenv("QW_AUDIO_SERVER_SOCKET", socket.c_str(), 1);
    auto start = [&](std::vector<std::string> argv, const std::string& log) -> ChildProcess& {
        running.push_back(std::make_unique<ChildProcess>(argv, dir.file(log)));
        return *running.back();
    };
    ChildProcess& server = start({binary("platform/audioserver/audioserverd"), "--plugins",
                                  binary("plugins"), "--socket", socket},
                                 "audioserver.log");
    if (!waitForLine(server, "listening at", 1, 10)) return failAll("audioserverd did not start");
    ChildProcess& mux = start(
        {binary("tools/phone/phone-usbmuxd"), "--device", "1:USB:latency-phone"}, "usbmuxd.log");
    if (!waitForLine(mux, "listening on", 1, 10)) return failAll("phone-usbmuxd did not start");
    ChildProcess& app =
        start({binary("tools/phone/phone-app"), "--onsets", "--report-ms", "0"}, "app.log");
    if (!waitForLine(app, "listening on", 1, 10)) return failAll("phone-app did not start");
    ChildProcess& bridge =
        start({binary("bridge/tetherstream"), "--capture", "standin"}, "bridge.log");
    if (!waitForLine(bridge, "AUHAL capturing", 1, 15) ||
        !waitForLine(bridge, "connected", 1, 15)) {
        return failAll("tetherstream did not start streaming:\n" + bridge.output());
    }

    for (int frames : o.bufferFrames) {
        // The bridge asks for 256-frame buffers when it starts; the size is set afterwards.
        ChildProcess setBuffer(
            {binary("tools/audioctl/qwctl"), "set-buffer", std::to_string(frames)},
            dir.file("qwctl.log"));
        waitForLine(setBuffer, std::to_string(frames), 1, 5);
        setBuffer.stop();
        for (bool loaded : {false, true}) {
            if (stop.load()) return failAll("stopped");
            LatencyRun r{"quillwave", frames, loaded, {}, ""};
            pause(0.5);
            if (loaded) load.start(kLoadProcesses);
            const size_t onsetMark = app.lines().size();
            const std::string log = "clicks-" + std::to_string(frames) + (loaded ? "-l" : "-i");
            ChildProcess probe(
                {binary("tools/probe/qwprobe"), "clicks", "--count", std::to_string(o.clicks),
                 "--interval-ms", std::to_string(o.intervalMs)},
                dir.file(log));
            const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
            if (!waitForLine(probe, "clicks played", 1, playSeconds)) {
                r.note = "qwprobe did not finish: " + probe.output().substr(0, 400);
            }
            pause(0.3);  // the last clicks on their way
            probe.stop();
            load.stop();
            auto appLines = app.lines();
            appLines.erase(appLines.begin(), appLines.begin() + static_cast<long>(std::min(
                                                                    onsetMark, appLines.size())));
            r.latencies = matchClicks(parseClicks(probe.lines()), parseOnsets(appLines));
            runs.push_back(std::move(r));
        }
    }
    stopAll();
}

void LatencyBench::runPulse(std::vector<LatencyRun>& runs) {
    auto failRest = [&](const std::string& why) {
        failRemaining(runs, {"pulseaudio", "desktop"}, why);
    };
    const std::string pulseaudio = onPath("pulseaudio"), parec = onPath("parec"),
                      socat = onPath("socat");
    if (pulseaudio.empty() || parec.empty() || socat.empty() ||
        ::access(binary("bench/latency/qw-pulse-clicks").c_str(), X_OK) != 0) {
        return failRest(
            "not measured: pulseaudio, parec, socat or qw-pulse-clicks "
            "(libpulse-dev) missing; bench/latency/run-latency-report installs them");
    }
    // A minimal PulseAudio of our own: one null sink at 48 kHz, one socket, nothing else.
    const PrivatePulse pulse = preparePulse(dir, "", {"qwnull"}, pulseaudio, "warning");
    running.push_back(std::make_unique<ChildProcess>(pulse.command, dir.file("pulseaudio.log")));
    const ChildProcess& daemon = *running.back();
    if (!waitForPath(pulse.socket, 10)) {
        return failRest("pulseaudio did not start: " + running.back()->output().substr(0, 400));
    }
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/phone/phone-app"), "--raw", "--onsets",
                                 "--report-ms", "0"},
        dir.file("app-pulse.log")));
    ChildProcess& app = *running.back();
    if (!waitForLine(app, "listening on", 1, 10)) return failRest("phone-app did not start");
    // Beside it, in the same daemon: tetherstream makes and captures the quillwave sink and
    // streams to an app of its own on 127.0.0.2 (each configuration runs right after parec's).
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/phone/phone-app"), "--host", "127.0.0.2", "--onsets",
                                 "--report-ms", "0"},
        dir.file("app-desktop.log")));
    const ChildProcess& desktopApp = *running.back();
    if (!waitForLine(desktopApp, "listening on", 1, 10)) return failRest("phone-app did not start");
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("bridge/tetherstream"), "--tcp", "127.0.0.2"},
        dir.file("bridge-desktop.log")));
    const ChildProcess& bridge = *running.back();
    if (!waitForLine(bridge, "Pulse capturing", 1, 15) ||
        !waitForLine(bridge, "connected", 1, 15)) {
        return failRest("tetherstream did not start streaming:\n" + bridge.output());
    }

    int connections = 0;
    for (int frames : o.bufferFrames) {
        // The sink's monitor, captured with the same buffer length as the Quillwave device's,
        // carried over TCP; socat ends parec when it is stopped.
        const std::string bytes = std::to_string(frames * 4);
        ChildProcess capture({socat, "-u",
                              "EXEC:" + parec +
                                  " --raw -d qwnull.monitor --format=s16le --rate=48000 "
                                  "--channels=2 --latency=" +
                                  bytes,
                              "TCP:127.0.0.1:7000,nodelay"},
                             dir.file("capture.log"));
        if (!waitForLine(app, "accepted", ++connections, 10)) {
            return failRest("parec | socat did not connect: " + capture.output().substr(0, 400));
        }
        pause(1.0);
        for (bool loaded : {false, true}) {
            if (stop.load()) return failRest("stopped");
            LatencyRun r{"pulseaudio", frames, loaded, {}, ""};
            if (loaded) load.start(kLoadProcesses);
            pause(0.5);
            const size_t onsetMark = app.lines().size();
            const std::string clicksLog =
                dir.file("pulse-clicks-" + std::to_string(frames) + (loaded ? "-l" : "-i"));
            const int64_t cpuBefore = cpuNsOfTree(capture.id()), wallBefore = monotonicNs();
            ChildProcess player(
                {binary("bench/latency/qw-pulse-clicks"), "--count", std::to_string(o.clicks),
                 "--interval-ms", std::to_string(o.intervalMs), "--device", "qwnull",
                 "--latency-frames", std::to_string(frames), "--log", clicksLog},
                dir.file("player-pulse.log"));
            const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
            const bool done = waitForClickPlayer(player, clicksLog, playSeconds, stop);
            if (!done) r.note = "qw-pulse-clicks did not finish: " + player.output();
            pause(0.3);  // the last clicks on their way
            r.cpuMsPerAudioSecond = (cpuNsOfTree(capture.id()) - cpuBefore) / 1e6 /
                                    ((monotonicNs() - wallBefore) / 1e9);
            player.stop();
            load.stop();
            auto appLines = app.lines();
            appLines.erase(appLines.begin(), appLines.begin() + static_cast<long>(std::min(
                                                                    onsetMark, appLines.size())));
            r.latencies = matchClicks(parseClicks(linesOf(clicksLog)), parseOnsets(appLines));
            if (r.latencies.fromMixedMs.empty() && r.note.empty()) {
                for (const auto& line : linesOf(clicksLog)) {
                    if (line.rfind("failed", 0) == 0) r.note = "qw-pulse-clicks " + line;
                }
            }
            runs.push_back(std::move(r));
            runs.push_back(desktopClicks("desktop", frames, loaded, desktopApp, bridge, daemon));
        }
        capture.stop();
    }
    stopAll();
}

std::vector<LatencyRun> LatencyBench::run() {
    std::vector<LatencyRun> runs;
    if (o.withQuillwave) runQuillwave(runs);
    if (o.withPulse) runPulse(runs);
    if (o.withDesktop) runDesktop(runs);
    if (o.withReceiver) runReceiver(runs);
    if (o.withRtp) runPulseRtp(o, stop, load, runs, rtp);
    return runs;
}
