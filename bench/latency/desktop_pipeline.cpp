// The Linux desktop's road: qw-pulse-clicks plays into the quillwave sink of a PulseAudio of
// our own, tetherstream captures its monitor and streams over TCP to phone-app --onsets. Same
// clicks, buffers and loads as the parec | socat pipeline: the "desktop" rows run in its daemon,
// each right after its configuration (latency_bench.cpp); the "desktop-RATE" rows here, in a
// daemon each, with the sink at each rate.
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "latency_bench.h"
#include "monotonic_ns.h"
#include "process_cpu.h"
#include "run_support.h"

namespace {

constexpr int kLoadProcesses = 2;  // both cores

// The name of the rows at a sink rate: "desktop-44100" at 44.1 kHz.
std::string desktopPipeline(int sinkRate) {
    return "desktop-" + std::to_string(sinkRate);
}

}  // namespace

LatencyRun LatencyBench::desktopClicks(const std::string& pipeline, int frames, bool loaded,
                                       const ChildProcess& app, const ChildProcess& bridge,
                                       const ChildProcess& daemon) {
    LatencyRun r{pipeline, frames, loaded, {}, ""};
    if (loaded) load.start(kLoadProcesses);
    pause(0.5);
    const size_t onsetMark = app.lines().size();
    const std::string clicksLog =
        dir.file(pipeline + "-clicks-" + std::to_string(frames) + (loaded ? "-l" : "-i"));
    const int64_t cpuBefore = cpuNsOfTree(bridge.id()), wallBefore = monotonicNs();
    const int64_t serverBefore = cpuNsOfTree(daemon.id());
    ChildProcess player(
        {binary("bench/latency/qw-pulse-clicks"), "--count", std::to_string(o.clicks),
         "--interval-ms", std::to_string(o.intervalMs), "--device", "quillwave", "--latency-frames",
         std::to_string(frames), "--log", clicksLog},
        dir.file("player-desktop.log"));
    const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
    if (!waitForClickPlayer(player, clicksLog, playSeconds, stop)) {
        r.note = "qw-pulse-clicks did not finish: " + player.output();
    }
    pause(0.3);  // the last clicks on their way
    const double seconds = (monotonicNs() - wallBefore) / 1e9;
    r.cpuMsPerAudioSecond = (cpuNsOfTree(bridge.id()) - cpuBefore) / 1e6 / seconds;
    r.serverCpuMsPerAudioSecond = (cpuNsOfTree(daemon.id()) - serverBefore) / 1e6 / seconds;
    player.stop();
    load.stop();
    auto appLines = app.lines();
    appLines.erase(appLines.begin(),
                   appLines.begin() + static_cast<long>(std::min(onsetMark, appLines.size())));
    r.latencies = matchClicks(parseClicks(linesOf(clicksLog)), parseOnsets(appLines));
    return r;
}

void LatencyBench::runDesktop(std::vector<LatencyRun>& runs) {
    for (int rate : o.desktopRates) runDesktopAt(rate, runs);
}

void LatencyBench::runDesktopAt(int sinkRate, std::vector<LatencyRun>& runs) {
    const std::string pipeline = desktopPipeline(sinkRate);
    auto failRest = [&](const std::string& why) { failRemaining(runs, {pipeline}, why); };
    const std::string pulseaudio = onPath("pulseaudio");
    if (pulseaudio.empty() ||
        ::access(binary("bench/latency/qw-pulse-clicks").c_str(), X_OK) != 0) {
        return failRest("not measured: pulseaudio or qw-pulse-clicks (libpulse-dev) missing");
    }
    // A PulseAudio of our own: for 48 kHz with no sink (the bridge makes "Quillwave"), for
    // another rate with the sink made beforehand at that rate, as a user would.
    const std::string prefix = pipeline + "-";
    const PrivatePulse pulse = preparePulse(dir, prefix, {}, pulseaudio, "warning");
    if (sinkRate != 48000) {
        std::ofstream config(dir.file(prefix + "pulse.pa"), std::ios::app);
        config << "load-module module-null-sink sink_name=quillwave rate=" << sinkRate
               << " format=s16le channels=2\n";
    }
    running.push_back(
        std::make_unique<ChildProcess>(pulse.command, dir.file(prefix + "pulse.log")));
    ChildProcess& daemon = *running.back();
    if (!waitForPath(pulse.socket, 10)) {
        return failRest("pulseaudio did not start: " + daemon.output().substr(0, 400));
    }
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/phone/phone-app"), "--onsets", "--report-ms", "0"},
        dir.file(prefix + "app.log")));
    ChildProcess& app = *running.back();
    if (!waitForLine(app, "listening on", 1, 10)) return failRest("phone-app did not start");
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("bridge/tetherstream"), "--tcp", "127.0.0.1"},
        dir.file(prefix + "bridge.log")));
    ChildProcess& bridge = *running.back();
    if (!waitForLine(bridge, "Pulse capturing", 1, 15) ||
        !waitForLine(bridge, "connected", 1, 15)) {
        return failRest("tetherstream did not start streaming:\n" + bridge.output());
    }
    pause(1.0);
    for (int frames : o.bufferFrames) {
        for (bool loaded : {false, true}) {
            if (stop.load()) return failRest("stopped");
            runs.push_back(desktopClicks(pipeline, frames, loaded, app, bridge, daemon));
        }
    }
    stopAll();
}
