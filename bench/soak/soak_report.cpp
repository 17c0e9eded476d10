#include "soak_report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "text_table.h"

namespace {

constexpr double kRetrySeconds = 0.5;
constexpr int64_t kFdBound = 4;
constexpr int64_t kThreadBound = 2;
constexpr int64_t kRssBoundKiB = 8 * 1024;
constexpr int64_t kQueueCapacity = 256;
constexpr double kWindowSettle = 1.5;  // a fault's effects may show this long after it ends

// Slack on the retry interval: line stamps are read every 10 ms, a connection attempt through
// the multiplexing service takes a few round trips, and the short run shares the machine with
// the rest of the test suite.
double reconnectBound(const SoakOptions& o) {
    return kRetrySeconds + (o.shortRun ? 0.5 : 0.25);
}

std::string fixed(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

struct Window {
    double from = 0, to = 0;
};

Window windowOf(const FaultRecord& f) {
    return {f.injectAt - 0.2, f.endAt + kWindowSettle};
}

const FaultRecord* faultAt(const SoakData& d, double t) {
    for (const auto& f : d.faults) {
        const Window w = windowOf(f);
        if (t >= w.from && t <= w.to) return &f;
    }
    return nullptr;
}

// A statistics line covers the second before it was printed.
bool statsIn(const StatsLine& s, const Window& w) {
    return s.at >= w.from && s.at - 1.0 <= w.to;
}

enum class GapCause { linkLoss, fullQueue, playerRestart, cpuLoad, unexplained };

const char* causeName(GapCause c) {
    switch (c) {
        case GapCause::linkLoss:
            return "link loss";
        case GapCause::fullQueue:
            return "full queue";
        case GapCause::playerRestart:
            return "player restart";
        case GapCause::cpuLoad:
            return "cpu load";
        case GapCause::unexplained:
            return "UNEXPLAINED";
    }
    return "?";
}

struct JudgedGap {
    RampGap gap;
    GapCause cause = GapCause::unexplained;
    const FaultRecord* fault = nullptr;
    std::string why;
};

bool fullQueueNear(const SoakData& d, double t) {
    for (const auto& s : d.stats) {
        if (s.depth >= kQueueCapacity && s.at >= t - 10.0 && s.at <= t + 2.0) return true;
    }
    return false;
}

bool atConnectionStart(const SoakData& d, const RampGap& g) {
    // The last ramp frame before the gap sits `silent + 1` frames before the resumed one.
    const uint64_t lastRamp = g.index >= g.silent + 1 ? g.index - g.silent - 1 : 0;
    for (uint64_t b : d.connectionBoundaries) {
        if (b > lastRamp && b <= g.index) return true;
    }
    return false;
}

JudgedGap judge(const SoakData& d, const RampGap& g) {
    JudgedGap j{g, GapCause::unexplained, faultAt(d, g.seenAt), ""};
    if (g.repeated()) {
        j.why = "ramp went back";
        return j;
    }
    if (atConnectionStart(d, g)) {
        if (j.fault && losesLink(j.fault->kind)) {
            j.cause = GapCause::linkLoss;
        } else {
            j.why = "connection ended outside a link fault";
        }
        return j;
    }
    if (j.fault && j.fault->kind == FaultKind::playerRestart) {
        j.cause = GapCause::playerRestart;
    } else if (j.fault && j.fault->kind == FaultKind::cpuLoad) {
        j.cause = GapCause::cpuLoad;
    } else if (fullQueueNear(d, g.seenAt)) {
        j.cause = GapCause::fullQueue;
    } else {
        j.why = "inside a connection, no full queue";
    }
    return j;
}

struct KindSummary {
    int injected = 0;
    int lossOk = 0;
    int timedOut = 0;
    int lossLines = 0;
    int connectedLines = 0;
    double worstReconnect = -1;
    double worstAudioBack = -1;
    int gaps = 0;
    int64_t sampleFramesLost = 0;
    double maxGapMs = 0, maxWriteMs = 0;
    int64_t maxDepth = 0;
    bool ok = true;
};

int countIn(const std::vector<double>& times, double from, double to) {
    return static_cast<int>(
        std::count_if(times.begin(), times.end(), [&](double t) { return t >= from && t < to; }));
}

void writeTimeline(const SoakData& d) {
    if (d.options.timelinePath.empty()) return;
    std::FILE* f = std::fopen(d.options.timelinePath.c_str(), "w");
    if (f == nullptr) return;
    std::fprintf(f, "# seconds\tmaxGap_ms\tmaxWrite_ms\tqDepth\tfault\n");
    for (const auto& s : d.stats) {
        const FaultRecord* fault = nullptr;
        for (const auto& r : d.faults) {
            if (statsIn(s, {r.injectAt, r.endAt})) fault = &r;
        }
        std::fprintf(f, "%.1f\t%.1f\t%.1f\t%lld\t%s\n", s.at - d.runStart, s.gapMs, s.writeMs,
                     static_cast<long long>(s.depth), fault ? faultName(fault->kind) : "-");
    }
    std::fclose(f);
}

}  // namespace

bool reportSoak(const SoakData& d, std::FILE* out) {
    if (!d.setupError.empty()) {
        std::fprintf(out, "qw-soak: set-up failed: %s\nRESULT: FAIL\n", d.setupError.c_str());
        return false;
    }
    bool pass = true;
    const double bound = reconnectBound(d.options);

    std::vector<JudgedGap> judged;
    for (const auto& g : d.ramp.gaps()) judged.push_back(judge(d, g));

    // One line per injected fault.
    TextTable events({"t (s)", "fault", "loss", "conn", "ready->conn (s)", "audio back (s)", "gaps",
                      "lost frames", "maxGap ms", "maxWrite ms", "qDepth", ""});
    std::map<FaultKind, KindSummary> kinds;
    for (size_t i = 0; i < d.faults.size(); ++i) {
        const FaultRecord& f = d.faults[i];
        const double until = i + 1 < d.faults.size() ? d.faults[i + 1].injectAt : d.runEnd + 1;
        const int loss = countIn(d.lossLines, f.injectAt, until);
        const int connected = countIn(d.connectedLines, f.injectAt, until);
        const int expected = losesLink(f.kind) ? 1 : 0;
        std::string problem;
        if (loss != expected || connected != expected) problem = "loss/connected lines";
        if (f.timedOut) problem = "no recovery";
        double reconnect = -1, audioBack = -1;
        if (losesLink(f.kind) && f.connectedAt >= 0 && f.farReadyAt >= 0) {
            reconnect = f.connectedAt - f.farReadyAt;
            if (reconnect > bound) problem = "slow reconnection";
        }
        if (f.audioBackAt >= 0 && f.connectedAt >= 0) audioBack = f.audioBackAt - f.connectedAt;
        if (losesLink(f.kind) && f.audioBackAt < 0 && problem.empty()) problem = "no audio after";

        KindSummary& k = kinds[f.kind];
        ++k.injected;
        k.timedOut += f.timedOut ? 1 : 0;
        k.lossLines += loss;
        k.connectedLines += connected;
        k.worstReconnect = std::max(k.worstReconnect, reconnect);
        k.worstAudioBack = std::max(k.worstAudioBack, audioBack);
        const Window w = windowOf(f);
        double gapMs = 0, writeMs = 0;
        int64_t depth = 0;
        for (const auto& s : d.stats) {
            if (!statsIn(s, w)) continue;
            gapMs = std::max(gapMs, s.gapMs);
            writeMs = std::max(writeMs, s.writeMs);
            depth = std::max(depth, s.depth);
        }
        int gaps = 0;
        int64_t lost = 0;
        for (const auto& j : judged) {
            if (j.fault != &f) continue;
            ++gaps;
            lost += j.gap.missing();
        }
        k.gaps += gaps;
        k.sampleFramesLost += lost;
        k.maxGapMs = std::max(k.maxGapMs, gapMs);
        k.maxWriteMs = std::max(k.maxWriteMs, writeMs);
        k.maxDepth = std::max(k.maxDepth, depth);
        if (!problem.empty()) {
            k.ok = false;
            pass = false;
        } else {
            ++k.lossOk;
        }
        events.add({fixed(f.injectAt - d.runStart, 1), faultName(f.kind), std::to_string(loss),
                    std::to_string(connected), reconnect >= 0 ? fixed(reconnect, 3) : "-",
                    audioBack >= 0 ? fixed(audioBack, 3) : "-", std::to_string(gaps),
                    std::to_string(lost), fixed(gapMs, 1), fixed(writeMs, 1), std::to_string(depth),
                    problem.empty() ? "ok" : "FAIL: " + problem});
    }
    std::fprintf(out,
                 "\nFaults, in order (t from the start of the run; lines counted until the "
                 "next fault)\n");
    events.print(out);

    // Start-up: one connected line, no loss, before the first fault.
    const double firstFault = d.faults.empty() ? d.runEnd + 1 : d.faults.front().injectAt;
    const int startLoss = countIn(d.lossLines, 0, firstFault);
    const int startConnected = countIn(d.connectedLines, 0, firstFault);
    const bool startOk = startLoss == 0 && startConnected == 1;
    pass = pass && startOk;

    // Quiet time: every statistics line outside the fault windows.
    double quietGap = 0, quietWrite = 0;
    int64_t quietDepth = 0;
    int quietLines = 0;
    for (const auto& s : d.stats) {
        bool inFault = false;
        for (const auto& f : d.faults) inFault = inFault || statsIn(s, windowOf(f));
        if (inFault || s.at < d.runStart) continue;
        ++quietLines;
        quietGap = std::max(quietGap, s.gapMs);
        quietWrite = std::max(quietWrite, s.writeMs);
        quietDepth = std::max(quietDepth, s.depth);
    }
    int quietGaps = 0;
    int64_t quietLost = 0;
    for (const auto& j : judged) {
        if (j.fault == nullptr) {
            ++quietGaps;
            quietLost += j.gap.missing();
        }
    }

    TextTable summary({"fault", "injected", "loss lines", "connected lines",
                       "worst ready->conn (s)", "worst audio back (s)", "gaps", "lost frames",
                       "maxGap ms", "maxWrite ms", "max qDepth", "result"});
    for (FaultKind kind : faultCycle()) {
        const auto it = kinds.find(kind);
        if (it == kinds.end()) continue;
        const KindSummary& k = it->second;
        const int expected = losesLink(kind) ? k.injected : 0;
        summary.add({faultName(kind), std::to_string(k.injected),
                     std::to_string(k.lossLines) + " (want " + std::to_string(expected) + ")",
                     std::to_string(k.connectedLines),
                     k.worstReconnect >= 0 ? fixed(k.worstReconnect, 3) : "-",
                     k.worstAudioBack >= 0 ? fixed(k.worstAudioBack, 3) : "-",
                     std::to_string(k.gaps), std::to_string(k.sampleFramesLost),
                     fixed(k.maxGapMs, 1), fixed(k.maxWriteMs, 1), std::to_string(k.maxDepth),
                     k.ok ? "ok" : "FAIL"});
    }
    summary.add({"start-up", "-", std::to_string(startLoss) + " (want 0)",
                 std::to_string(startConnected) + " (want 1)", "-", "-", "-", "-", "-", "-", "-",
                 startOk ? "ok" : "FAIL"});
    summary.add({"quiet periods", std::to_string(quietLines) + " s", "-", "-", "-", "-",
                 std::to_string(quietGaps), std::to_string(quietLost), fixed(quietGap, 1),
                 fixed(quietWrite, 1), std::to_string(quietDepth), quietGaps == 0 ? "ok" : "FAIL"});
    pass = pass && quietGaps == 0;

    // Resources after warm-up.
    const Growth fds = growthAfter(d.samples, d.warmUpEnd, &ProcSample::fds);
    const Growth threads = growthAfter(d.samples, d.warmUpEnd, &ProcSample::threads);
    const Growth rss = growthAfter(d.samples, d.warmUpEnd, &ProcSample::rssKiB);
    auto growthOk = [](const Growth& g, int64_t limit) { return g.valid && g.growth() <= limit; };
    const bool rssOk = d.bridgeSanitized || growthOk(rss, kRssBoundKiB);
    const bool resourcesOk =
        growthOk(fds, kFdBound) && growthOk(threads, kThreadBound) && rssOk && d.bridgeAlive;
    pass = pass && resourcesOk;
    TextTable resources(
        {"tetherstream", "after warm-up (first..max, last)", "growth", "bound", "result"});
    auto addGrowth = [&](const char* name, const Growth& g, int64_t limit, const char* unit,
                         bool judge) {
        resources.add({name,
                       std::to_string(g.first) + ".." + std::to_string(g.max) + ", " +
                           std::to_string(g.last) + unit,
                       std::to_string(g.growth()), std::to_string(limit) + unit,
                       !judge               ? "not judged (sanitizer build)"
                       : growthOk(g, limit) ? "ok"
                                            : "FAIL"});
    };
    addGrowth("open descriptors", fds, kFdBound, "", true);
    addGrowth("threads", threads, kThreadBound, "", true);
    addGrowth("resident memory", rss, kRssBoundKiB, " KiB", !d.bridgeSanitized);
    resources.add({"still running at the end", d.bridgeAlive ? "yes" : "no", "-", "-",
                   d.bridgeAlive ? "ok" : "FAIL"});

    // Integrity.
    std::map<GapCause, std::pair<int, int64_t>> byCause;
    int repeated = 0;
    for (const auto& j : judged) {
        auto& c = byCause[j.cause];
        ++c.first;
        c.second += j.gap.missing();
        repeated += j.gap.repeated() ? 1 : 0;
    }
    const int unexplained = byCause[GapCause::unexplained].first;
    const bool integrityOk = unexplained == 0 && d.ramp.unreadableFrames() == 0 &&
                             d.appBadFrames == 0 && d.muxMalformed == 0 && d.ramp.first();
    pass = pass && integrityOk;

    std::fprintf(out,
                 "\nSummary by fault kind (reconnection bound %.2f s after the far side is "
                 "ready; statistics from the fault windows)\n",
                 bound);
    summary.print(out);
    std::fprintf(out,
                 "\nResources, sampled every second from /proc (%zu samples, warm-up %.0f s)\n",
                 d.samples.size(), d.warmUpEnd - d.runStart);
    resources.print(out);
    std::fprintf(out,
                 "\nAudio integrity: %llu frames received, %llu ramp, %llu silent, %llu "
                 "unreadable; %zu gaps, %d repeated; app framing errors %lld, usbmuxd malformed "
                 "requests %lld\n",
                 static_cast<unsigned long long>(d.ramp.frames()),
                 static_cast<unsigned long long>(d.ramp.rampFrames()),
                 static_cast<unsigned long long>(d.ramp.silentFrames()),
                 static_cast<unsigned long long>(d.ramp.unreadableFrames()), judged.size(),
                 repeated, static_cast<long long>(d.appBadFrames),
                 static_cast<long long>(d.muxMalformed));
    TextTable causes({"gap cause", "gaps", "frames missing"});
    for (const auto& [cause, count] : byCause) {
        causes.add({causeName(cause), std::to_string(count.first), std::to_string(count.second)});
    }
    causes.print(out);
    for (const auto& j : judged) {
        if (j.cause != GapCause::unexplained) continue;
        std::fprintf(out, "  unexplained gap at t=%.2f s: ramp %lld -> %lld, %llu silent (%s)\n",
                     j.gap.seenAt - d.runStart, static_cast<long long>(j.gap.before),
                     static_cast<long long>(j.gap.after),
                     static_cast<unsigned long long>(j.gap.silent), j.why.c_str());
    }
    // The driver broke a rule the audio server holds it to.
    for (const std::string& line : d.serverViolations) {
        std::fprintf(out, "  %s\n", line.c_str());
        pass = false;
    }
    writeTimeline(d);
    std::fprintf(out, "\nRESULT: %s (%.0f s, %zu faults)\n", pass ? "PASS" : "FAIL",
                 d.runEnd - d.runStart, d.faults.size());
    return pass;
}
