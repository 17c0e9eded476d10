#include "desktop_report.h"

#include <cstdio>
#include <string>

#include "text_table.h"

namespace {

const LatencyRun* find(const std::vector<LatencyRun>& runs, const char* pipeline, int frames,
                       bool loaded) {
    for (const auto& r : runs) {
        if (r.pipeline == pipeline && r.bufferFrames == frames && r.loaded == loaded) return &r;
    }
    return nullptr;
}

std::string clicks(const LatencyRun& r, const LatencySummary& s) {
    return std::to_string(s.count) + " (" + std::to_string(r.latencies.unmatched) + " lost)";
}

std::string cpuCell(const LatencyRun& r) {
    return r.cpuMsPerAudioSecond >= 0 ? msCell(r.cpuMsPerAudioSecond) : "-";
}

}  // namespace

void printDesktopReport(const std::vector<LatencyRun>& runs, std::FILE* out) {
    std::fprintf(out,
                 "\nLinux sound server \u2192 phone app: a click written into its PulseAudio "
                 "playback stream (length = the buffer), through the quillwave sink and its "
                 "monitor, tetherstream (its default source on Linux) over TCP to the app, beside "
                 "parec | socat from a null sink of the same daemon, measured just before (ms; "
                 "CPU: ms of CPU "
                 "time per second of audio, tetherstream against parec plus socat)\n\n");
    TextTable table({"buffer", "load", "clicks", "median", "p95", "p99", "max",
                     "parec+socat: clicks", "median", "median above parec+socat",
                     "CPU tetherstream", "CPU parec+socat"});
    for (const auto& r : runs) {
        if (r.pipeline != "desktop") continue;
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        const LatencyRun* p = find(runs, "pulseaudio", r.bufferFrames, r.loaded);
        const LatencySummary ps = p ? summarize(p->latencies.fromMixedMs) : LatencySummary{};
        std::vector<std::string> row{std::to_string(r.bufferFrames),
                                     r.loaded ? "both cores busy" : "idle"};
        if (s.count == 0) {
            row.insert(row.end(), {"0", r.note});
            table.add(row);
            continue;
        }
        const bool both = ps.count > 0;
        row.insert(
            row.end(),
            {clicks(r, s), msCell(s.medianMs), msCell(s.p95Ms), msCell(s.p99Ms), msCell(s.maxMs),
             both ? clicks(*p, ps) : "-", both ? msCell(ps.medianMs) : "-",
             both ? msCell(s.medianMs - ps.medianMs) : "-", cpuCell(r), p ? cpuCell(*p) : "-"});
        table.add(row);
    }
    table.print(out);

    std::fprintf(out,
                 "\nThe same road with the quillwave sink at each rate, in a daemon each, one rate "
                 "after the other (the server converts to 48 kHz when it differs): latency in ms, "
                 "CPU in ms per second of audio of "
                 "tetherstream and of the PulseAudio daemon (which also carries the player)\n\n");
    TextTable rates({"sink rate", "buffer", "load", "clicks", "median", "p99", "CPU tetherstream",
                     "CPU pulseaudio"});
    for (const auto& r : runs) {
        if (r.pipeline.rfind("desktop-", 0) != 0) continue;
        const std::string rate = r.pipeline.substr(8);
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        const std::string server =
            r.serverCpuMsPerAudioSecond >= 0 ? msCell(r.serverCpuMsPerAudioSecond) : "-";
        if (s.count == 0) {
            rates.add({rate, std::to_string(r.bufferFrames), r.loaded ? "both cores busy" : "idle",
                       "0", r.note});
            continue;
        }
        rates.add({rate, std::to_string(r.bufferFrames), r.loaded ? "both cores busy" : "idle",
                   clicks(r, s), msCell(s.medianMs), msCell(s.p99Ms), cpuCell(r), server});
    }
    rates.print(out);
}
