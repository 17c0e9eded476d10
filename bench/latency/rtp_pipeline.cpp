#include "rtp_pipeline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "run_support.h"

namespace {

constexpr int kLoadProcesses = 2;    // both cores
constexpr int kCaptureFrames = 256;  // parec's latency, as in the null-sink pipeline
// The player's stream: far longer than the null-sink pipeline's, so that the player itself does
// not underrun when this loaded machine stalls it (at 1024 frames it still did, a few times a
// minute) and put gaps into the tone that are no fault of the path measured. Its constant wait
// is part of the capture-path row, which is subtracted.
constexpr int kPlayerFrames = 4096;
constexpr double kSessionWait = 15;  // s; module-rtp-send announces its stream every 5 s
const char* const kRecvLog = "module-rtp-recv.c: ";

std::string settingName(int latencyMs) {
    return latencyMs < 0    ? "capture path only"
           : latencyMs == 0 ? "defaults"
                            : "latency_msec=" + std::to_string(latencyMs);
}

// One PulseAudio daemon with the sending and the receiving null sink, module-rtp-send on the
// first's monitor; module-rtp-recv is loaded per row.
class RtpBench {
  public:
    RtpBench(const LatencyOptions& options, const std::atomic<bool>& stopFlag, CpuLoad& cpu)
        : o(options), stop(stopFlag), load(cpu) {}
    ~RtpBench() {
        stopAll();
        // QW_RTP_KEEP=DIR keeps the logs and recordings (DIR must not exist yet).
        if (const char* keep = std::getenv("QW_RTP_KEEP"); keep != nullptr && keep[0] != '\0') {
            if (std::system(("cp -r '" + dir.path + "' '" + keep + "'").c_str()) != 0) return;
        }
    }

    // "" when the daemon runs with module-rtp-send, else why not.
    std::string start();
    // One row: module-rtp-recv at latencyMs (0: its default; -1: not loaded, the clicks go
    // straight into the receiving sink).
    void row(int latencyMs, bool loaded, std::vector<LatencyRun>& runs,
             std::vector<RtpFigures>& figures);

  private:
    std::string binary(const std::string& relative) const { return o.buildDir + "/" + relative; }
    std::string pactl(const std::string& args) const;
    bool waitForSession() const;
    double settle() const;
    std::string abortIn(size_t fromLine) const;
    void measure(const std::string& sink, bool loaded, LatencyRun& r, RtpFigures& f);
    void readReceiverLog(size_t fromLine, RtpFigures& f) const;
    void stopAll() {
        while (!running.empty()) {
            running.back()->stop();
            running.pop_back();
        }
    }

    const LatencyOptions& o;
    const std::atomic<bool>& stop;
    CpuLoad& load;
    TempDir dir;
    std::string pactlPath, parec, socat;
    std::vector<std::unique_ptr<ChildProcess>> running;
    int rowsDone = 0;
};

std::string RtpBench::start() {
    const std::string pulseaudio = onPath("pulseaudio");
    pactlPath = onPath("pactl");
    parec = onPath("parec");
    socat = onPath("socat");
    if (pulseaudio.empty() || pactlPath.empty() || parec.empty() || socat.empty() ||
        ::access(binary("bench/latency/qw-pulse-clicks").c_str(), X_OK) != 0) {
        return "not measured: pulseaudio, pactl, parec, socat or qw-pulse-clicks (libpulse-dev) "
               "missing; bench/latency/run-latency-report installs them";
    }
    // Debug level: module-rtp-recv tells its underruns and its buffer only there.
    const PrivatePulse pulse = preparePulse(dir, "rtp-", {"qwsend", "qwrecv"}, pulseaudio, "debug");
    ::unlink(pulse.socket.c_str());  // left behind by a daemon that aborted
    running.push_back(std::make_unique<ChildProcess>(pulse.command, dir.file("pulseaudio.log")));
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        pause(0.1);
        up = pactl("info").find("Server Name") != std::string::npos;
    }
    if (!up) return "pulseaudio did not start: " + running.back()->output().substr(0, 400);
    // The receiving sink is kept running in short blocks, as a sound card would run it: with no
    // client on its monitor a null sink sleeps for its longest latency, and module-rtp-recv's
    // GStreamer receiver then hands PulseAudio more than one memory block holds, which aborts
    // the daemon (PulseAudio 16.1, within a minute or two of most sessions here).
    running.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec " + parec + " --raw -d qwrecv.monitor --latency=" +
                                     std::to_string(kCaptureFrames * 4) + " > /dev/null"},
        dir.file("keeper.log")));
    const std::string sent =
        pactl("load-module module-rtp-send source=qwsend.monitor destination_ip=127.0.0.1");
    if (sent.empty() || sent.find_first_not_of("0123456789\n") != std::string::npos) {
        return "module-rtp-send did not load (it needs gstreamer1.0-plugins-base and -good): " +
               sent.substr(0, 300);
    }
    return "";
}

std::string RtpBench::pactl(const std::string& args) const {
    std::string out;
    if (std::FILE* p = ::popen((pactlPath + " " + args + " 2>&1").c_str(), "r")) {
        char buf[512];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

bool RtpBench::waitForSession() const {
    for (int i = 0; i < kSessionWait * 4 && !stop.load(); ++i) {
        if (pactl("list short sink-inputs").find("module-rtp-recv") != std::string::npos) {
            return true;
        }
        pause(0.25);
    }
    return false;
}

// module-rtp-recv starts with a burst of underruns that leaves its buffer far above its target,
// and moves the buffer towards it by at most 2 per mille of the rate every 5 s. Waits until its
// last logged buffer is within a quarter (or 5 ms) of its target, or o.rtpSettleSeconds; returns
// how long that took, or -1.
double RtpBench::settle() const {
    const size_t mark = linesOf(dir.file("pulseaudio.log")).size();
    const auto begin = std::chrono::steady_clock::now();
    for (;;) {
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (stop.load() || waited > o.rtpSettleSeconds || !abortIn(mark).empty()) return -1;
        RtpFigures seen;
        readReceiverLog(mark, seen);
        if (seen.bufferLastMs >= 0 &&
            std::fabs(seen.bufferLastMs - seen.targetMs) <= std::max(5.0, seen.targetMs / 4)) {
            return waited;
        }
        pause(1.0);
    }
}

// The daemon's error line if it aborted after line `fromLine` of its log, else "".
std::string RtpBench::abortIn(size_t fromLine) const {
    const auto lines = linesOf(dir.file("pulseaudio.log"));
    for (size_t i = fromLine; i < lines.size(); ++i) {
        if (lines[i].rfind("E: ", 0) == 0 && lines[i].find("Aborting") != std::string::npos) {
            return lines[i].substr(3);
        }
    }
    return "";
}

void RtpBench::readReceiverLog(size_t fromLine, RtpFigures& f) const {
    const auto lines = linesOf(dir.file("pulseaudio.log"));
    f.underruns = 0;
    for (size_t i = fromLine; i < lines.size(); ++i) {
        const auto at = lines[i].find(kRecvLog);
        if (at == std::string::npos) continue;
        const std::string text = lines[i].substr(at + std::string(kRecvLog).size());
        double ms = 0;
        if (text.rfind("Requesting rewind due to end of underrun", 0) == 0) ++f.underruns;
        double target = 0;
        if (std::sscanf(text.c_str(), "Write index deviates by %lf ms, expected %lf ms", &ms,
                        &target) == 2) {
            if (f.bufferFirstMs < 0) f.bufferFirstMs = ms;
            f.bufferLastMs = ms;
            f.targetMs = target;
        }
    }
}

void RtpBench::measure(const std::string& sink, bool loaded, LatencyRun& r, RtpFigures& f) {
    const std::string tag = std::to_string(++rowsDone);
    const std::string wav = dir.file("received-" + tag + ".wav");
    ChildProcess app(
        {binary("tools/phone/phone-app"), "--raw", "--onsets", "--report-ms", "0", "--wav", wav},
        dir.file("app-" + tag + ".log"));
    if (!app.waitForLines("listening on", 1, std::chrono::seconds(10))) {
        r.note = "phone-app did not start";
        return;
    }
    ChildProcess capture({socat, "-u",
                          "EXEC:" + parec +
                              " --raw -d qwrecv.monitor --format=s16le --rate=48000 "
                              "--channels=2 --latency=" +
                              std::to_string(kCaptureFrames * 4),
                          "TCP:127.0.0.1:7000,nodelay"},
                         dir.file("capture-" + tag + ".log"));
    if (!app.waitForLines("accepted", 1, std::chrono::seconds(10))) {
        r.note = "parec | socat did not connect: " + capture.output().substr(0, 300);
        return;
    }
    if (loaded) load.start(kLoadProcesses);
    pause(1.0);
    const size_t logMark = linesOf(dir.file("pulseaudio.log")).size();
    const std::string clicksLog = dir.file("clicks-" + tag);
    ChildProcess player(
        {binary("bench/latency/qw-pulse-clicks"), "--count", std::to_string(o.clicks),
         "--interval-ms", std::to_string(o.intervalMs), "--device", sink, "--latency-frames",
         std::to_string(kPlayerFrames), "--tone", "--log", clicksLog},
        dir.file("player-" + tag + ".log"));
    const double playSeconds = o.clicks * o.intervalMs / 1000.0 + 20;
    const bool done = waitForClickPlayer(player, clicksLog, playSeconds, stop);
    if (!done) r.note = "qw-pulse-clicks did not finish: " + player.output().substr(0, 300);
    // The last clicks on their way: the matching window is a second.
    pause(1.2);
    load.stop();
    player.stop();
    capture.stop();
    app.stop();
    readReceiverLog(logMark, f);

    auto onsets = parseOnsets(app.lines());
    const auto stereo = readStereoWav(wav);
    const auto heard = findClicks(stereo);
    f.renumbered = renumberOnsets(onsets, heard);
    f.tone = checkTone(stereo, heard);
    r.latencies = matchClicks(parseClicks(linesOf(clicksLog)), onsets);
    if (r.latencies.fromMixedMs.empty() && r.note.empty()) {
        for (const auto& line : linesOf(clicksLog)) {
            if (line.rfind("failed", 0) == 0) r.note = "qw-pulse-clicks " + line;
        }
    }
}

void RtpBench::row(int latencyMs, bool loaded, std::vector<LatencyRun>& runs,
                   std::vector<RtpFigures>& figures) {
    LatencyRun r{"pulse-rtp", latencyMs, loaded, {}, ""};
    RtpFigures f;
    f.setting = settingName(latencyMs);
    // A daemon that aborted in the previous row is started again.
    if (pactl("info").find("Server Name") == std::string::npos) {
        stopAll();
        if (const std::string why = start(); !why.empty()) r.note = why;
    }
    const size_t logMark = linesOf(dir.file("pulseaudio.log")).size();
    std::string module;
    if (latencyMs >= 0 && r.note.empty()) {
        std::string args = "load-module module-rtp-recv sink=qwrecv sap_address=127.0.0.1";
        if (latencyMs > 0) args += " latency_msec=" + std::to_string(latencyMs);
        module = pactl(args);
        while (!module.empty() && module.back() == '\n') module.pop_back();
        if (module.empty() || module.find_first_not_of("0123456789") != std::string::npos) {
            r.note = "module-rtp-recv did not load: " + module.substr(0, 200);
            module.clear();
        } else if (!waitForSession()) {
            r.note = "module-rtp-recv started no session";
        }
        // Its rate control needs a while to bring the buffer to its target (5 s steps).
        if (r.note.empty()) f.settledAfterS = settle();
    }
    if (r.note.empty() && !stop.load()) measure(latencyMs < 0 ? "qwrecv" : "qwsend", loaded, r, f);
    if (stop.load() && r.note.empty()) r.note = "stopped";
    f.aborted = abortIn(logMark);
    if (!module.empty() && f.aborted.empty()) pactl("unload-module " + module);
    runs.push_back(std::move(r));
    figures.push_back(std::move(f));
}

// The setting whose idle row lost the fewest clicks and stretches of tone together, the lower
// latency_msec of two alike (the default is 500 ms); the defaults (0) if no row ran.
int bestSetting(const LatencyRun* runs, const RtpFigures* figures, size_t count) {
    const auto effective = [](int latencyMs) { return latencyMs == 0 ? 500 : latencyMs; };
    int best = 0;
    size_t fewest = SIZE_MAX;
    for (size_t i = 0; i < count; ++i) {
        const auto& r = runs[i];
        const auto& f = figures[i];
        if (r.bufferFrames < 0 || !r.note.empty() || !f.aborted.empty() || f.tone.windows == 0) {
            continue;
        }
        const size_t faults = r.latencies.unmatched + f.tone.gaps;
        if (faults < fewest || (faults == fewest && effective(r.bufferFrames) < effective(best))) {
            fewest = faults;
            best = r.bufferFrames;
        }
    }
    return best;
}

}  // namespace

void runPulseRtp(const LatencyOptions& options, const std::atomic<bool>& stop, CpuLoad& load,
                 std::vector<LatencyRun>& runs, std::vector<RtpFigures>& figures) {
    std::vector<int> settings{-1, 0};
    settings.insert(settings.end(), options.rtpLatenciesMs.begin(), options.rtpLatenciesMs.end());
    RtpBench bench(options, stop, load);
    if (const std::string why = bench.start(); !why.empty()) {
        for (int s : settings) {
            runs.push_back({"pulse-rtp", s, false, {}, why});
            RtpFigures f;
            f.setting = settingName(s);
            figures.push_back(f);
        }
        return;
    }
    // A row whose daemon aborted is kept and tried once more.
    const auto row = [&](int s, bool loaded) {
        bench.row(s, loaded, runs, figures);
        if (!figures.back().aborted.empty()) bench.row(s, loaded, runs, figures);
    };
    const size_t firstRun = runs.size(), firstFigure = figures.size();
    for (int s : settings) row(s, false);
    const int best = bestSetting(&runs[firstRun], &figures[firstFigure], runs.size() - firstRun);
    row(-1, true);
    row(best, true);
}
