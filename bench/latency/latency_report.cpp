#include "latency_report.h"

#include "desktop_report.h"
#include "receiver_report.h"
#include "text_table.h"

namespace {

constexpr double kRate = 48000;

const char* loadName(bool loaded) {
    return loaded ? "both cores busy" : "idle";
}

const LatencyRun* find(const std::vector<LatencyRun>& runs, const std::string& pipeline, int frames,
                       bool loaded) {
    for (const auto& r : runs) {
        if (r.pipeline == pipeline && r.bufferFrames == frames && r.loaded == loaded) return &r;
    }
    return nullptr;
}

std::string clickCount(const LatencyRun& r, const LatencySummary& s) {
    std::string text = std::to_string(s.count);
    if (r.latencies.unmatched > 0) text += " (" + std::to_string(r.latencies.unmatched) + " lost)";
    if (r.latencies.strayOnsets > 0) {
        text += " (" + std::to_string(r.latencies.strayOnsets) + " stray onsets)";
    }
    return text;
}

}  // namespace

void printLatencyReport(const std::vector<LatencyRun>& runs, const LatencyOptions& o,
                        std::FILE* out) {
    std::fprintf(out,
                 "\nQuillwave: from the IO cycle that takes the click into the device to its "
                 "arrival at the receiving app (ms)\n\n");
    TextTable ours({"device buffer", "load", "clicks", "median", "p95", "p99", "max",
                    "two IO buffers (fixed)", "rest, median (ours)",
                    "from the player's render: median / p99"});
    for (const auto& r : runs) {
        if (r.pipeline != "quillwave") continue;
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        const LatencySummary p = summarize(r.latencies.fromRenderedMs);
        if (s.count == 0) {
            ours.add({std::to_string(r.bufferFrames), loadName(r.loaded), "0", "-", "-", "-", "-",
                      "-", "-", r.note});
            continue;
        }
        const double fixed = 2 * r.bufferFrames / kRate * 1000;
        ours.add({std::to_string(r.bufferFrames), loadName(r.loaded), clickCount(r, s),
                  msCell(s.medianMs), msCell(s.p95Ms), msCell(s.p99Ms), msCell(s.maxMs),
                  msCell(fixed), msCell(s.medianMs - fixed),
                  msCell(p.medianMs) + " / " + msCell(p.p99Ms)});
    }
    ours.print(out);

    std::fprintf(out,
                 "\nPulseAudio: from the write of the click into its playback stream (stream "
                 "length = the buffer) through a null sink, its monitor, parec (latency = the "
                 "buffer) and socat to the same app (ms)\n\n");
    TextTable pulse({"buffer", "load", "clicks", "median", "p95", "p99", "max"});
    for (const auto& r : runs) {
        if (r.pipeline != "pulseaudio") continue;
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        if (s.count == 0) {
            pulse.add({std::to_string(r.bufferFrames), loadName(r.loaded), "0", r.note});
            continue;
        }
        pulse.add({std::to_string(r.bufferFrames), loadName(r.loaded), clickCount(r, s),
                   msCell(s.medianMs), msCell(s.p95Ms), msCell(s.p99Ms), msCell(s.maxMs)});
    }
    pulse.print(out);

    std::fprintf(out,
                 "\nRatio of medians, PulseAudio / Quillwave, at the same buffer (above 1: "
                 "Quillwave is faster). Quillwave counted from the IO cycle that takes the click "
                 "into the device, and from the player's render\n\n");
    TextTable ratio({"buffer", "idle, from device", "idle, from player", "loaded, from device",
                     "loaded, from player"});
    for (int frames : o.bufferFrames) {
        std::vector<std::string> row{std::to_string(frames)};
        for (bool loaded : {false, true}) {
            const LatencyRun* q = find(runs, "quillwave", frames, loaded);
            const LatencyRun* p = find(runs, "pulseaudio", frames, loaded);
            const LatencySummary qs = q ? summarize(q->latencies.fromMixedMs) : LatencySummary{};
            const LatencySummary qp = q ? summarize(q->latencies.fromRenderedMs) : LatencySummary{};
            const LatencySummary ps = p ? summarize(p->latencies.fromMixedMs) : LatencySummary{};
            const bool have = qs.count > 0 && ps.count > 0;
            row.push_back(have ? msCell(ps.medianMs / qs.medianMs) : "-");
            row.push_back(have ? msCell(ps.medianMs / qp.medianMs) : "-");
        }
        ratio.add(row);
    }
    ratio.print(out);
    printDesktopReport(runs, out);
    printReceiverReport(runs, out);

    for (const auto& r : runs) {
        if (r.latencies.lostNumbers.empty() || r.pipeline == "pulse-rtp") continue;
        std::string numbers;
        for (uint64_t n : r.latencies.lostNumbers) {
            numbers.push_back(' ');
            numbers.append(std::to_string(n));
        }
        std::fprintf(out, "\n%s, %d frames, %s: lost click number(s)%s", r.pipeline.c_str(),
                     r.bufferFrames, loadName(r.loaded), numbers.c_str());
    }
    std::fprintf(out, "\n");
}

bool writeLatencyCsv(const std::vector<LatencyRun>& runs, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f, "pipeline,buffer_frames,load,basis,latency_ms\n");
    for (const auto& r : runs) {
        const char* load = r.loaded ? "loaded" : "idle";
        for (double v : r.latencies.fromMixedMs) {
            std::fprintf(f, "%s,%d,%s,device,%.3f\n", r.pipeline.c_str(), r.bufferFrames, load, v);
        }
        if (r.pipeline != "quillwave") continue;
        for (double v : r.latencies.fromRenderedMs) {
            std::fprintf(f, "%s,%d,%s,player,%.3f\n", r.pipeline.c_str(), r.bufferFrames, load, v);
        }
    }
    return std::fclose(f) == 0;
}
