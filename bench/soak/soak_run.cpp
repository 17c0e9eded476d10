#include "soak_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "soak_clock.h"

namespace {

constexpr const char* kDeviceSpec = "1:USB:soak-phone";
constexpr const char* kAttachCommand = "attach 1 USB soak-phone";
constexpr const char* kLossLine = "link lost — reconnecting…";
constexpr const char* kConnectedPrefix = "✅ connected — streaming";
constexpr const char* kStatsPrefix = "⏱ maxGap=";
constexpr double kSampleRate = 48000;
constexpr double kAudioBackWait = 3.0;  // how long to wait for audio after a reconnection
constexpr double kRecoveryTimeout = 15.0;

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// "⏱ maxGap=5.5ms maxWrite=0.1ms qDepth=1"
bool parseStats(const std::string& line, double at, StatsLine& out) {
    double gap = 0, write = 0;
    long long depth = 0;
    const char* text = line.c_str() + std::string("⏱ ").size();
    if (std::sscanf(text, "maxGap=%lfms maxWrite=%lfms qDepth=%lld", &gap, &write, &depth) != 3) {
        return false;
    }
    out = {at, gap, write, depth};
    return true;
}

// "connection 3 ended: frames 281 bytes 289149 samples 71936 (peer closed)"
bool parseConnectionEnd(const std::string& line, uint64_t& samples) {
    unsigned long long id = 0, frames = 0, bytes = 0, n = 0;
    if (std::sscanf(line.c_str(), "connection %llu ended: frames %llu bytes %llu samples %llu", &id,
                    &frames, &bytes, &n) != 4) {
        return false;
    }
    samples = n;
    return true;
}

}  // namespace

SoakRun::SoakRun(SoakOptions options, const std::atomic<bool>& stopRequested)
    : stop(stopRequested),
      bridgeLog(dir.file("bridge.log")),
      appLog(dir.file("app.log")),
      muxLog(dir.file("usbmuxd.log")),
      playerLog(dir.file("player.log")),
      wav(dir.file("app.wav")) {
    data.options = std::move(options);
}

SoakRun::~SoakRun() {
    load.stop();
    stopChain();
}

std::string SoakRun::binary(const std::string& relative) const {
    return data.options.buildDir + "/" + relative;
}

void SoakRun::startMux() {
    mux = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/phone/phone-usbmuxd"), "--device", kDeviceSpec},
        dir.file("usbmuxd.log"), true);
}

void SoakRun::startPlayer() {
    // Each player numbers its ramp from the soak's clock (plus a second), so a restarted player
    // continues above every frame the previous one could have queued.
    const auto first = static_cast<uint64_t>(std::llround((soakNow() + 1.0) * kSampleRate));
    player = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/play/qwplay"), "--ramp", std::to_string(first)},
        dir.file("player.log"));
}

bool SoakRun::waitFor(const std::vector<double>& events, size_t count, double timeout) {
    const double end = soakNow() + timeout;
    while (events.size() < count) {
        if (soakNow() > end || stop.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pump();
    }
    return true;
}

bool SoakRun::startChain() {
    ::setenv("QW_AUDIO_SERVER_SOCKET", dir.file("audioserver.sock").c_str(), 1);
    std::vector<double> serverUp;
    server = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("platform/audioserver/audioserverd"), "--plugins",
                                 binary("plugins"), "--socket", dir.file("audioserver.sock")},
        dir.file("audioserver.log"));
    LogTail serverLog(dir.file("audioserver.log"));
    const double serverDeadline = soakNow() + 10;
    for (bool up = false; !up;) {
        for (const auto& line : serverLog.newLines())
            up |= line.find("listening at") != std::string::npos;
        if (!up && (soakNow() > serverDeadline || stop.load())) {
            data.setupError = "audioserverd did not come up:\n" + server->output();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    startMux();
    if (!waitFor(muxListening, 1, 10)) {
        data.setupError = "phone-usbmuxd did not come up:\n" + mux->output();
        return false;
    }
    // A small receive buffer, so a stalled app soon stops the bridge's writes.
    app = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("tools/phone/phone-app"), "--wav", dir.file("app.wav"),
                                 "--report-ms", "1000", "--rcvbuf", "16384"},
        dir.file("app.log"), true);
    if (!waitFor(appListening, 1, 10)) {
        data.setupError = "phone-app did not come up:\n" + app->output();
        return false;
    }
    startPlayer();
    if (!waitFor(playerStarted, 1, 15)) {
        data.setupError = "qwplay did not start playing:\n" + player->output();
        return false;
    }
    bridge = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary("bridge/tetherstream"), "--capture", "standin"},
        dir.file("bridge.log"));
    if (!waitFor(data.connectedLines, 1, 15)) {
        data.setupError = "tetherstream did not connect:\n" + bridge->output();
        return false;
    }
    data.bridgeSanitized = runsUnderSanitizer(bridge->id());
    const double audioDeadline = soakNow() + 10;
    while (!data.ramp.first()) {
        if (soakNow() > audioDeadline || stop.load()) {
            data.setupError = "no ramp reached the app:\n" + bridge->output() + app->output();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pump();
    }
    return true;
}

void SoakRun::stopChain() {
    // The bridge has no shutdown path; SIGTERM ends it. The app goes last but one, so that it
    // writes its WAV header, and the audio server last.
    if (bridge) {
        data.bridgeAlive = ::waitpid(bridge->id(), nullptr, WNOHANG) == 0;
        bridge->stop();
    }
    if (player) player->stop();
    if (mux) mux->stop();
    if (app) app->stop();
    if (server) {
        server->stop();
        std::ifstream log(dir.file("audioserver.log"));
        for (std::string line; std::getline(log, line);) {
            if (line.find("VIOLATION") != std::string::npos) data.serverViolations.push_back(line);
        }
    }
    bridge.reset();
    player.reset();
    mux.reset();
    app.reset();
    server.reset();
}

void SoakRun::pumpBridge(double now) {
    for (const auto& line : bridgeLog.newLines()) {
        StatsLine s;
        if (line == kLossLine) {
            data.lossLines.push_back(now);
        } else if (startsWith(line, kConnectedPrefix)) {
            data.connectedLines.push_back(now);
        } else if (startsWith(line, kStatsPrefix) && parseStats(line, now, s)) {
            data.stats.push_back(s);
        }
    }
}

void SoakRun::pumpApp(double now) {
    for (const auto& line : appLog.newLines()) {
        uint64_t samples = 0;
        if (startsWith(line, "listening on")) {
            appListening.push_back(now);
        } else if (parseConnectionEnd(line, samples)) {
            framesEnded += samples;
            data.connectionBoundaries.push_back(framesEnded);
        } else if (startsWith(line, "bad frame")) {
            ++data.appBadFrames;
        }
    }
    const auto& frames = wav.newFrames();
    data.ramp.feed(frames.data(), frames.size() / 4, now);
}

void SoakRun::pumpOthers(double now) {
    for (const auto& line : muxLog.newLines()) {
        if (startsWith(line, "listening on")) muxListening.push_back(now);
        if (startsWith(line, "attached")) attached.push_back(now);
        if (startsWith(line, "malformed")) ++data.muxMalformed;
    }
    for (const auto& line : playerLog.newLines()) {
        if (line.find("first frame at output sample time") != std::string::npos) {
            playerStarted.push_back(now);
        }
    }
}

void SoakRun::sampleResources(double now) {
    if (!bridge || now < nextSampleAt) return;
    nextSampleAt = now + 1.0;
    if (auto s = sampleProcess(bridge->id(), now)) data.samples.push_back(*s);
}

void SoakRun::pump() {
    const double now = soakNow();
    pumpBridge(now);
    pumpApp(now);
    pumpOthers(now);
    sampleResources(now);
}

double SoakRun::firstAfter(const std::vector<double>& events, size_t mark) const {
    return events.size() > mark ? events[mark] : -1;
}

void SoakRun::beginFault(FaultKind kind) {
    const double now = soakNow();
    current = FaultRecord{};
    current.kind = kind;
    current.injectAt = now;
    marks = {data.lossLines.size(), data.connectedLines.size(),
             appListening.size(),   muxListening.size(),
             attached.size(),       playerStarted.size()};
    // Held faults last a little longer each time, by up to one retry interval, so the far side
    // comes back at every phase of the bridge's 0.5 s retry rhythm, not always at the same one.
    double hold = faultTiming(kind, data.options.shortRun).holdSeconds;
    if (hold > 0) hold += std::uniform_real_distribution<double>(0.0, 0.5)(random);
    const auto holdMs = std::to_string(std::llround(hold * 1000));
    liftAt = now + hold;
    faultLifted = false;
    faultActive = true;
    sampleFramesAtConnected = 0;
    switch (kind) {
        case FaultKind::appClose:
            app->sendLine("close");
            break;
        case FaultKind::badLength0:
            app->sendLine("bad 0");
            break;
        case FaultKind::badLength8192:
            app->sendLine("bad 8192");
            break;
        case FaultKind::appStall:
            app->sendLine("stall " + holdMs);
            break;
        case FaultKind::appRefuse:
            app->sendLine("refuse " + holdMs);
            break;
        case FaultKind::usbDetach:
            mux->sendLine("detach 1");
            break;
        case FaultKind::muxRestart:
            ::kill(mux->id(), SIGKILL);
            mux->stop();
            mux.reset();
            break;
        case FaultKind::playerRestart:
            ::kill(player->id(), SIGKILL);
            player->stop();
            player.reset();
            break;
        case FaultKind::cpuLoad:
            load.start(2);
            break;
    }
}

// Undoes the fault once its time is up. The app lifts a stall or a refusal by itself.
void SoakRun::liftFault() {
    faultLifted = true;
    switch (current.kind) {
        case FaultKind::usbDetach:
            mux->sendLine(kAttachCommand);
            break;
        case FaultKind::muxRestart:
            startMux();
            break;
        case FaultKind::playerRestart:
            startPlayer();
            break;
        case FaultKind::cpuLoad:
            load.stop();
            current.recoveredAt = soakNow();
            break;
        case FaultKind::appStall:
            current.recoveredAt = soakNow();
            break;
        default:
            break;
    }
}

void SoakRun::finishFault(double now) {
    current.endAt = now;
    data.faults.push_back(current);
    faultActive = false;
}

void SoakRun::stepFault() {
    const double now = soakNow();
    if (!faultLifted && now >= liftAt) liftFault();
    const FaultKind kind = current.kind;
    if (losesLink(kind)) {
        if (current.farReadyAt < 0) {
            switch (kind) {
                case FaultKind::appRefuse:
                    current.farReadyAt = firstAfter(appListening, marks.appListening);
                    break;
                case FaultKind::usbDetach:
                    current.farReadyAt = firstAfter(attached, marks.attached);
                    break;
                case FaultKind::muxRestart:
                    current.farReadyAt = firstAfter(muxListening, marks.muxListening);
                    break;
                default:  // the app kept listening: ready as soon as the loss is noticed
                    current.farReadyAt = firstAfter(data.lossLines, marks.loss);
                    break;
            }
        }
        if (current.connectedAt < 0 && data.lossLines.size() > marks.loss) {
            current.connectedAt = firstAfter(data.connectedLines, marks.connected);
            if (current.connectedAt >= 0) {
                current.recoveredAt = current.connectedAt;
                sampleFramesAtConnected = data.ramp.rampFrames();
            }
        }
        if (current.connectedAt >= 0 && current.audioBackAt < 0 &&
            data.ramp.rampFrames() > sampleFramesAtConnected) {
            current.audioBackAt = now;
        }
        const bool settled =
            current.connectedAt >= 0 &&
            (current.audioBackAt >= 0 || now > current.connectedAt + kAudioBackWait);
        if (faultLifted && settled) finishFault(now);
    } else if (kind == FaultKind::playerRestart) {
        if (faultLifted && current.recoveredAt < 0) {
            current.recoveredAt = firstAfter(playerStarted, marks.playerStarted);
        }
        if (current.recoveredAt >= 0) finishFault(now);
    } else if (faultLifted) {
        finishFault(now);
    }
    if (faultActive && now > liftAt + kRecoveryTimeout) {
        if (!faultLifted) liftFault();
        current.timedOut = true;
        finishFault(now);
    }
}

SoakData& SoakRun::run() {
    if (!startChain()) {
        stopChain();
        return data;
    }
    data.runStart = soakNow();
    const double end = data.runStart + data.options.seconds;
    data.warmUpEnd = data.runStart + std::min(60.0, data.options.seconds / 4);
    const auto& cycle = faultCycle();
    size_t next = 0;
    double nextFaultAt = data.runStart + (data.options.shortRun ? 1.0 : 5.0);
    while (!stop.load()) {
        const double now = soakNow();
        pump();
        if (faultActive) {
            stepFault();
            if (!faultActive) {
                nextFaultAt =
                    soakNow() + faultTiming(current.kind, data.options.shortRun).quietSeconds;
            }
        } else if (now >= end) {
            break;
        } else if (now >= nextFaultAt) {
            const FaultKind kind = cycle[next % cycle.size()];
            // A fault is started only if it and its recovery fit in the time left.
            if (now + faultTiming(kind, data.options.shortRun).holdSeconds + 2.0 < end) {
                beginFault(kind);
                ++next;
            } else {
                nextFaultAt = end;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (faultActive) {
        if (!faultLifted) liftFault();
        current.timedOut = true;
        finishFault(soakNow());
    }
    pump();
    data.runEnd = soakNow();
    load.stop();
    stopChain();
    pump();  // the app's last lines and the rest of the WAV file
    return data;
}
