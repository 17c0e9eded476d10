#pragma once
// The receiver pipeline's own figures: qwreceiver's once-a-second "figures:" lines, the
// dropouts over one run, and matching clicks that went through its resampler.

#include <optional>
#include <string>
#include <vector>

#include "latency_stats.h"

// One "figures: buffer 9.8/10 ms · drift +212 ppm · underruns 0 · overruns 0 · ... ·
// pulse latency 10.2 ms · pulse underflows 3" line, or "... · pipewire quantum 256 · delay 0.0 ms
// · xruns 0" from the native PipeWire output.
struct ReceiverFigures {
    double bufferMs = 0, targetMs = 0;
    long long underruns = 0, overruns = 0;
    double pulseLatencyMs = -1;  // -1: not in the line (the null output)
    long long pulseUnderflows = -1;
    long long quantum = -1, graphXruns = -1;  // -1: not in the line (not the PipeWire output)
};

std::optional<ReceiverFigures> parseReceiverFigures(const std::string& line);
std::vector<ReceiverFigures> parseReceiverFigures(const std::vector<std::string>& lines);

// What the receiver reported over one run: the counters' growth between the last report
// before it and the last one after it, and the medians of its levels in between.
struct ReceiverRunFigures {
    std::string setting;  // e.g. "5 ms auto / PulseAudio 10 ms"
    bool known = false;
    long long underruns = 0, overruns = 0, pulseUnderflows = 0;
    long long quantum = -1, graphXruns = -1;  // the PipeWire output's: at the end; over the run
    double targetMs = 0;                      // at the end
    double bufferMs = 0, pulseLatencyMs = 0;  // medians
};

ReceiverRunFigures receiverRunFigures(const ReceiverFigures& before,
                                      const std::vector<ReceiverFigures>& during);

// The receiver rows play their clicks at least this far apart: a click is matched only within
// one interval, and PulseAudio's underflows delay some by tens of milliseconds.
constexpr int kReceiverMinIntervalMs = 150;

// The receiver resamples, so a one-frame click comes out spread over a few frames, weaker,
// and its number (the right channel) is scaled by the same gain as the left: no longer exact.
// Each click is matched with the first unused onset that arrives within one click interval
// after it, no sooner than the road's fixed part (`minLatencyMs`: the two IO buffers; an earlier
// onset is the previous click's, late), and whose code lies between 0 and 1.1 times its number
// (plus 2).
ClickLatencies matchResampledClicks(const std::vector<PlayedClick>& clicks,
                                    const std::vector<ArrivedOnset>& onsets, int intervalMs,
                                    double minLatencyMs);
