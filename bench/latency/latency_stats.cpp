#include "latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::vector<PlayedClick> parseClicks(const std::vector<std::string>& lines) {
    std::vector<PlayedClick> clicks;
    for (const auto& line : lines) {
        unsigned long long n = 0;
        long long mixed = 0, rendered = 0;
        if (std::sscanf(line.c_str(), "click %llu output %*f mixed %lld rendered %lld", &n, &mixed,
                        &rendered) == 3 &&
            mixed > 0) {
            clicks.push_back({n, mixed, rendered});
        }
    }
    return clicks;
}

std::vector<ArrivedOnset> parseOnsets(const std::vector<std::string>& lines) {
    std::vector<ArrivedOnset> onsets;
    for (const auto& line : lines) {
        long long ns = 0, code = 0;
        if (std::sscanf(line.c_str(), "onset %lld code %lld", &ns, &code) == 2) {
            onsets.push_back({ns, code});
        }
    }
    return onsets;
}

ClickLatencies matchClicksBy(
    const std::vector<PlayedClick>& clicks, const std::vector<ArrivedOnset>& onsets,
    const std::function<bool(const PlayedClick&, const ArrivedOnset&)>& accepts) {
    ClickLatencies result;
    std::vector<bool> used(onsets.size(), false);
    for (const PlayedClick& c : clicks) {
        bool found = false;
        for (size_t i = 0; i < onsets.size() && !found; ++i) {
            const ArrivedOnset& o = onsets[i];
            if (used[i] || !accepts(c, o)) continue;
            used[i] = found = true;
            result.fromMixedMs.push_back(static_cast<double>(o.arrivedNs - c.mixedNs) / 1e6);
            result.fromRenderedMs.push_back(static_cast<double>(o.arrivedNs - c.renderedNs) / 1e6);
        }
        if (!found) {
            ++result.unmatched;
            if (result.lostNumbers.size() < 10) result.lostNumbers.push_back(c.number);
        }
    }
    for (size_t i = 0; i < onsets.size(); ++i) {
        if (!used[i] && !clicks.empty() && onsets[i].arrivedNs >= clicks.front().mixedNs) {
            ++result.strayOnsets;
        }
    }
    return result;
}

ClickLatencies matchClicks(const std::vector<PlayedClick>& clicks,
                           const std::vector<ArrivedOnset>& onsets) {
    constexpr int64_t kWindowNs = 1000000000;
    // The number must match exactly: with any slack, a lost click would take its neighbour's
    // onset, and every later click the onset of the one after it.
    return matchClicksBy(clicks, onsets, [](const PlayedClick& c, const ArrivedOnset& o) {
        return o.code == static_cast<int64_t>(c.number % 16384) && o.arrivedNs >= c.mixedNs &&
               o.arrivedNs - c.mixedNs <= kWindowNs;
    });
}

LatencySummary summarize(std::vector<double> ms) {
    LatencySummary s;
    s.count = ms.size();
    if (ms.empty()) return s;
    std::sort(ms.begin(), ms.end());
    const auto rank = [&](double q) {
        const auto i = static_cast<size_t>(std::ceil(q * static_cast<double>(ms.size())));
        return ms[std::min(ms.size() - 1, i == 0 ? 0 : i - 1)];
    };
    s.minMs = ms.front();
    s.medianMs = rank(0.5);
    s.p95Ms = rank(0.95);
    s.p99Ms = rank(0.99);
    s.maxMs = ms.back();
    return s;
}
