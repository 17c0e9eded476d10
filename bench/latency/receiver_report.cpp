#include "receiver_report.h"

#include "text_table.h"

namespace {

constexpr double kRate = 48000;

std::string clicks(const LatencyRun& r, size_t got) {
    std::string text = std::to_string(got);
    if (r.latencies.unmatched > 0) text += " (" + std::to_string(r.latencies.unmatched) + " lost)";
    if (r.latencies.strayOnsets > 0) {
        text += " (" + std::to_string(r.latencies.strayOnsets) + " stray onsets)";
    }
    return text;
}

// The median cost of the capture path after PulseAudio, or -1 when it was not measured.
double captureCost(const std::vector<LatencyRun>& runs, std::FILE* out) {
    std::fprintf(out,
                 "\nReceiver pipeline's capture path, measured in the same setup (ms): "
                 "\"after PulseAudio\" = qw-raw-clicks in parec's place -> socat -> app; "
                 "\"PulseAudio 64 frames\" = qw-pulse-clicks into the same sink -> monitor -> "
                 "parec -> socat -> app (adds the playback stream's wait: a bound)\n\n");
    TextTable table({"capture", "clicks", "median", "p95", "p99", "max"});
    double cost = -1;
    for (const auto& r : runs) {
        if (r.pipeline != "receiver-capture" && r.pipeline != "receiver-capture-pw") continue;
        const std::string name = r.pipeline == "receiver-capture-pw" ? "pipewire-pulse 64 frames"
                                 : r.bufferFrames == 0               ? "after PulseAudio"
                                                                     : "PulseAudio 64 frames";
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        if (s.count == 0) {
            table.add({name, "0", r.note});
            continue;
        }
        if (r.bufferFrames == 0) cost = s.medianMs;
        table.add({name, clicks(r, s.count), msCell(s.medianMs), msCell(s.p95Ms), msCell(s.p99Ms),
                   msCell(s.maxMs)});
    }
    table.print(out);
    return cost;
}

// Receiver underruns / the server's (PulseAudio underflows, or the PipeWire graph's xruns as
// the native stream sees them) / lost clicks.
std::string dropouts(const LatencyRun& r) {
    if (!r.receiver.known) return "-";
    std::string text = std::to_string(r.receiver.underruns) + " / ";
    if (r.receiver.graphXruns >= 0) {
        text += std::to_string(r.receiver.graphXruns) + " xruns";
    } else {
        text += r.receiver.pulseUnderflows < 0 ? "?" : std::to_string(r.receiver.pulseUnderflows);
    }
    text += " / " + std::to_string(r.latencies.unmatched);
    return text;
}

bool isReceiverRow(const std::string& pipeline) {
    return pipeline == "receiver" || pipeline == "receiver-low" || pipeline == "old-receiver" ||
           pipeline.rfind("receiver-pw", 0) == 0;
}

// The native output at quantum 256 against PulseAudio at the same device buffer, both idle.
void printPipeWireGoal(const std::vector<LatencyRun>& runs, std::FILE* out) {
    const LatencyRun *native = nullptr, *pulse = nullptr;
    for (const auto& r : runs) {
        if (r.pipeline == "receiver-pw256") native = &r;
    }
    for (const auto& r : runs) {
        if (native && r.pipeline == "receiver" && !r.loaded &&
            r.bufferFrames == native->bufferFrames)
            pulse = &r;
    }
    if (native == nullptr || pulse == nullptr) return;
    const LatencySummary n = summarize(native->latencies.fromMixedMs);
    const LatencySummary p = summarize(pulse->latencies.fromMixedMs);
    if (n.count == 0 || p.count == 0) return;
    auto perMinute = [](const LatencyRun& r) {
        const double minutes = static_cast<double>(r.latencies.fromMixedMs.size() +
                                                   static_cast<size_t>(r.latencies.unmatched)) *
                               kReceiverMinIntervalMs / 60000.0;
        return minutes > 0 ? static_cast<double>(r.receiver.underruns) / minutes : 0.0;
    };
    std::fprintf(out,
                 "\nNative PipeWire at quantum 256: median %s ms, PulseAudio %s ms at the same "
                 "device buffer: %s ms lower (goal: 3 or more); receiver underruns a minute of "
                 "clicks: %.1f against %.1f\n",
                 msCell(n.medianMs).c_str(), msCell(p.medianMs).c_str(),
                 msCell(p.medianMs - n.medianMs).c_str(), perMinute(*native), perMinute(*pulse));
}

}  // namespace

void printReceiverReport(const std::vector<LatencyRun>& runs, std::FILE* out) {
    bool any = false;
    for (const auto& r : runs) any = any || r.pipeline.rfind("receiver", 0) == 0;
    if (!any) return;
    const double capture = captureCost(runs, out);
    std::fprintf(
        out,
        "\nReceiver: from the IO cycle that takes the click into the device, through "
        "tetherstream --tcp, qwreceiver and a PulseAudio null sink (the receiver-pw rows: a "
        "PipeWire null sink, its monitor captured through pipewire-pulse), to the app via the "
        "sink's monitor (ms; clicks at least %d ms apart, a click later than that counts as "
        "lost). \"from the bridge's write\" = minus the two IO buffers; "
        "\"to the sink's monitor\" = minus the capture path after PulseAudio too (%s "
        "ms). Dropouts over the row: receiver underruns / PulseAudio underflows (native "
        "PipeWire: the graph's xruns the stream saw) / lost clicks\n\n",
        kReceiverMinIntervalMs, capture < 0 ? "not measured" : msCell(capture).c_str());
    TextTable table({"device buffer", "receiver (target / PulseAudio)", "load", "clicks", "median",
                     "p95", "p99", "max", "from the bridge's write: median / p99",
                     "bridge's write to the sink's monitor: median / p99",
                     "receiver's own: buffer + PulseAudio latency", "target at the end",
                     "dropouts"});
    for (const auto& r : runs) {
        if (!isReceiverRow(r.pipeline)) continue;
        const std::string load = r.loaded ? "both cores busy" : "idle";
        const LatencySummary s = summarize(r.latencies.fromMixedMs);
        if (s.count == 0) {
            table.add({std::to_string(r.bufferFrames), r.receiver.setting, load, "0", "-", "-", "-",
                       "-", "-", "-", "-", "-", r.note.empty() ? dropouts(r) : r.note});
            continue;
        }
        const double fixed = 2 * r.bufferFrames / kRate * 1000;
        const std::string atSink = capture < 0 ? "-"
                                               : msCell(s.medianMs - fixed - capture) + " / " +
                                                     msCell(s.p99Ms - fixed - capture);
        const std::string own = r.receiver.known ? msCell(r.receiver.bufferMs) + " + " +
                                                       msCell(r.receiver.pulseLatencyMs)
                                                 : "-";
        const std::string setting =
            r.receiver.quantum > 0
                ? r.receiver.setting + " · quantum in force " + std::to_string(r.receiver.quantum)
                : r.receiver.setting;
        table.add({std::to_string(r.bufferFrames), setting, load, clicks(r, s.count),
                   msCell(s.medianMs), msCell(s.p95Ms), msCell(s.p99Ms), msCell(s.maxMs),
                   msCell(s.medianMs - fixed) + " / " + msCell(s.p99Ms - fixed), atSink, own,
                   r.receiver.known ? msCell(r.receiver.targetMs) : "-", dropouts(r)});
    }
    table.print(out);
    printPipeWireGoal(runs, out);
}
