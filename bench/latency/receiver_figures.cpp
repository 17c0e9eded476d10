#include "receiver_figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// The number just after `key` in `line`, or nullopt.
std::optional<double> after(const std::string& line, const std::string& key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const char* start = line.c_str() + at + key.size();
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start) return std::nullopt;
    return v;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

}  // namespace

std::optional<ReceiverFigures> parseReceiverFigures(const std::string& line) {
    if (line.rfind("figures: ", 0) != 0) return std::nullopt;
    const auto buffer = after(line, "buffer "), target = after(line, "/"),
               underruns = after(line, "underruns "), overruns = after(line, "overruns ");
    if (!buffer || !target || !underruns || !overruns) return std::nullopt;
    ReceiverFigures f;
    f.bufferMs = *buffer;
    f.targetMs = *target;
    f.underruns = static_cast<long long>(*underruns);
    f.overruns = static_cast<long long>(*overruns);
    if (const auto latency = after(line, "pulse latency ")) f.pulseLatencyMs = *latency;
    if (const auto underflows = after(line, "pulse underflows ")) {
        f.pulseUnderflows = static_cast<long long>(*underflows);
    }
    if (const auto quantum = after(line, "pipewire quantum ")) {
        f.quantum = static_cast<long long>(*quantum);
        if (const auto delay = after(line, " delay ")) f.pulseLatencyMs = *delay;
        if (const auto xruns = after(line, " xruns "))
            f.graphXruns = static_cast<long long>(*xruns);
    }
    return f;
}

std::vector<ReceiverFigures> parseReceiverFigures(const std::vector<std::string>& lines) {
    std::vector<ReceiverFigures> figures;
    for (const auto& line : lines) {
        if (auto f = parseReceiverFigures(line)) figures.push_back(*f);
    }
    return figures;
}

ReceiverRunFigures receiverRunFigures(const ReceiverFigures& before,
                                      const std::vector<ReceiverFigures>& during) {
    ReceiverRunFigures r;
    if (during.empty()) return r;
    const ReceiverFigures& last = during.back();
    r.known = true;
    r.underruns = last.underruns - before.underruns;
    r.overruns = last.overruns - before.overruns;
    r.pulseUnderflows = last.pulseUnderflows < 0 || before.pulseUnderflows < 0
                            ? -1
                            : last.pulseUnderflows - before.pulseUnderflows;
    r.targetMs = last.targetMs;
    r.quantum = last.quantum;
    r.graphXruns = last.graphXruns < 0 || before.graphXruns < 0
                       ? last.graphXruns
                       : last.graphXruns - before.graphXruns;
    std::vector<double> buffer, latency;
    for (const auto& f : during) {
        buffer.push_back(f.bufferMs);
        if (f.pulseLatencyMs >= 0) latency.push_back(f.pulseLatencyMs);
    }
    r.bufferMs = median(buffer);
    r.pulseLatencyMs = median(latency);
    return r;
}

ClickLatencies matchResampledClicks(const std::vector<PlayedClick>& clicks,
                                    const std::vector<ArrivedOnset>& onsets, int intervalMs,
                                    double minLatencyMs) {
    const int64_t windowNs = int64_t{intervalMs} * 1000000;
    const auto minNs = static_cast<int64_t>(minLatencyMs * 1e6);
    return matchClicksBy(clicks, onsets, [&](const PlayedClick& c, const ArrivedOnset& o) {
        const auto number = static_cast<int64_t>(c.number % 16384);
        const int64_t latencyNs = o.arrivedNs - c.mixedNs;
        return latencyNs >= minNs && latencyNs < windowNs && o.code >= 0 &&
               o.code * 10 <= number * 11 + 20;
    });
}
