#pragma once
// Click latency: the clicks as their player logged them, the onsets as the receiving app saw
// them, matched by the number each click carries, and summed up in percentiles.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PlayedClick {
    uint64_t number = 0;
    int64_t mixedNs = 0;     // the click went into the device (Quillwave: the IO cycle that
                             // mixed it; PulseAudio: the write into the playback stream)
    int64_t renderedNs = 0;  // the playing app produced it
};

struct ArrivedOnset {
    int64_t arrivedNs = 0;
    int64_t code = 0;  // the click's number modulo 16384
};

// "click N output T mixed NS rendered NS" (qwprobe clicks, qw-pulse-clicks).
std::vector<PlayedClick> parseClicks(const std::vector<std::string>& lines);
// "onset NS code C" (phone-app --onsets).
std::vector<ArrivedOnset> parseOnsets(const std::vector<std::string>& lines);

struct ClickLatencies {
    std::vector<double> fromMixedMs;  // one per matched click
    std::vector<double> fromRenderedMs;
    size_t unmatched = 0;               // clicks that never arrived within a second
    std::vector<uint64_t> lostNumbers;  // the numbers of the first ten of them
    size_t strayOnsets = 0;             // onsets after the first click that match no click
};

// Each click is matched with the first onset that carries exactly its number and arrived after
// it went into the device, within one second. (Both players' numbers arrive exactly: qwprobe
// plays (n + 1) / 32768, which the bridge truncates to n.)
ClickLatencies matchClicks(const std::vector<PlayedClick>& clicks,
                           const std::vector<ArrivedOnset>& onsets);

// Each click, in order, takes the first onset not yet taken that `accepts` it; a click without
// one counts as lost, an onset after the first click that no click took as stray.
ClickLatencies matchClicksBy(
    const std::vector<PlayedClick>& clicks, const std::vector<ArrivedOnset>& onsets,
    const std::function<bool(const PlayedClick&, const ArrivedOnset&)>& accepts);

struct LatencySummary {
    size_t count = 0;
    double minMs = 0, medianMs = 0, p95Ms = 0, p99Ms = 0, maxMs = 0;
};

// Nearest-rank percentiles.
LatencySummary summarize(std::vector<double> ms);
