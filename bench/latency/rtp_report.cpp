#include "rtp_report.h"

#include "text_table.h"

namespace {

// One line: a note may hold a program's output.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '|') c = ' ';
    }
    return text;
}

std::string clickCount(const LatencyRun& r, const RtpFigures& f) {
    std::string text = std::to_string(r.latencies.fromMixedMs.size());
    if (r.latencies.unmatched > 0) text += " (" + std::to_string(r.latencies.unmatched) + " lost)";
    if (r.latencies.strayOnsets > 0) {
        text += " (" + std::to_string(r.latencies.strayOnsets) + " stray)";
    }
    if (!f.renumbered && !r.latencies.fromMixedMs.empty()) {
        text += " (numbers as the app read them)";
    }
    if (!r.note.empty()) text += " (" + oneLine(r.note) + ")";
    if (!f.aborted.empty()) text += " (PulseAudio aborted: " + oneLine(f.aborted) + ")";
    return text;
}

std::string dropouts(const ToneDropouts& t) {
    if (t.windows == 0) return "-";
    return std::to_string(t.silent) + " / " + std::to_string(t.broken) + " of " +
           std::to_string(t.windows) + " (" + std::to_string(t.gaps) + " gaps)";
}

std::string buffer(const RtpFigures& f) {
    if (f.bufferFirstMs < 0) return "-";
    return msCell(f.bufferFirstMs) + " → " + msCell(f.bufferLastMs) + " (target " +
           msCell(f.targetMs) + ")";
}

std::string settled(const LatencyRun& r, const RtpFigures& f) {
    if (r.bufferFrames < 0) return "-";
    if (f.settledAfterS < 0) return "not within the wait";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f s", f.settledAfterS);
    return buf;
}

}  // namespace

void printRtpReport(const std::vector<LatencyRun>& runs, const std::vector<RtpFigures>& figures,
                    std::FILE* out) {
    std::vector<const LatencyRun*> rtp;
    for (const auto& r : runs) {
        if (r.pipeline == "pulse-rtp") rtp.push_back(&r);
    }
    if (rtp.empty() || rtp.size() != figures.size()) return;
    std::fprintf(out,
                 "\nPulseAudio RTP: from the write of the click into the sending null sink "
                 "(4096-frame stream) through module-rtp-send, 127.0.0.1, module-rtp-recv, the "
                 "receiving null sink's monitor, parec (256 frames) and socat to the same app "
                 "(ms). Tone: 10 ms windows silent / broken (a jump) of those judged, and the "
                 "gaps they form. Receiver: module-rtp-recv's underruns and its buffer (first "
                 "and last logged value) during the clicks, and how long after its session "
                 "started the buffer came within a quarter of its target\n\n");
    TextTable table({"receiver", "load", "clicks", "median", "p95", "p99", "max",
                     "median less capture path", "tone: silent / broken windows",
                     "receiver underruns", "receiver buffer ms", "buffer near target after"});
    double captureMedian[2] = {-1, -1};
    for (size_t i = 0; i < rtp.size(); ++i) {
        const LatencyRun& r = *rtp[i];
        const RtpFigures& f = figures[i];
        const char* load = r.loaded ? "both cores busy" : "idle";
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        if (s.count == 0) {
            table.add({f.setting, load, clickCount(r, f), "-", "-", "-", "-", "-", dropouts(f.tone),
                       "-", buffer(f), settled(r, f)});
            continue;
        }
        if (r.bufferFrames < 0) captureMedian[r.loaded] = s.medianMs;
        const double base = captureMedian[r.loaded];
        table.add({f.setting, load, clickCount(r, f), msCell(s.medianMs), msCell(s.p95Ms),
                   msCell(s.p99Ms), msCell(s.maxMs),
                   r.bufferFrames < 0 || base < 0 ? "-" : msCell(s.medianMs - base),
                   dropouts(f.tone),
                   f.underruns < 0 || r.bufferFrames < 0 ? "-" : std::to_string(f.underruns),
                   buffer(f), settled(r, f)});
    }
    table.print(out);
    for (size_t i = 0; i < rtp.size(); ++i) {
        if (rtp[i]->latencies.lostNumbers.empty()) continue;
        std::string numbers;
        for (uint64_t n : rtp[i]->latencies.lostNumbers) {
            numbers.push_back(' ');
            numbers.append(std::to_string(n));
        }
        std::fprintf(out, "\npulse-rtp, %s, %s: lost click number(s)%s", figures[i].setting.c_str(),
                     rtp[i]->loaded ? "both cores busy" : "idle", numbers.c_str());
    }
    std::fprintf(out, "\n");
}
