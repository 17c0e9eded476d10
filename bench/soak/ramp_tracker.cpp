#include "ramp_tracker.h"

namespace {

int32_t lowWord(int64_t n) {
    return static_cast<int32_t>(n & 0xFFFF) - 32768;
}

int32_t highWord(int64_t n) {
    return static_cast<int32_t>((n >> 16) & 0xFFFF) - 32768;
}

int16_t loadSample(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

}  // namespace

int16_t RampTracker::streamValue(int32_t m) {
    const float v = static_cast<float>(m) / 32768.0f;
    float x = v * 32767.0f;
    x = x < 32767.0f ? x : 32767.0f;
    x = x > -32767.0f ? x : -32767.0f;
    return static_cast<int16_t>(static_cast<int32_t>(x));
}

RampTracker::RampTracker() : forward(65536), inverse(65536) {
    for (int32_t m = -32768; m <= 32767; ++m) {
        const int16_t v = streamValue(m);
        forward[static_cast<size_t>(m + 32768)] = v;
        inverse[static_cast<size_t>(v + 32768)].push_back(m);
    }
}

bool RampTracker::matches(int64_t n, int16_t lo, int16_t hi) const {
    return forward[static_cast<size_t>(lowWord(n) + 32768)] == lo &&
           forward[static_cast<size_t>(highWord(n) + 32768)] == hi;
}

std::vector<int64_t> RampTracker::decode(int16_t lo, int16_t hi) const {
    std::vector<int64_t> result;
    for (int32_t h : inverse[static_cast<size_t>(hi + 32768)]) {
        for (int32_t l : inverse[static_cast<size_t>(lo + 32768)]) {
            result.push_back(int64_t{h + 32768} << 16 | int64_t{l + 32768});
        }
    }
    return result;
}

void RampTracker::resumeAt(int64_t n, uint64_t atIndex, double now) {
    if (!firstRamp) {
        firstRamp = n;  // silence before the first ramp frame is not a gap
    } else if (lastRamp && (n != *lastRamp + 1 || silentRun > 0)) {
        gapList.push_back({atIndex, *lastRamp, n, silentRun, now});
    }
    silentRun = 0;
}

void RampTracker::take(int16_t lo, int16_t hi, double now) {
    const bool isSilence = lo == 0 && hi == 0;
    if (!candidates.empty()) {
        std::vector<int64_t> next;
        if (!isSilence) {
            for (int64_t c : candidates) {
                if (matches(c + 1, lo, hi)) next.push_back(c + 1);
            }
        }
        const uint64_t undecided = index - candidateIndex;  // frames before this one
        if (!next.empty()) {
            ++ramp;
            if (next.size() > 1) {
                candidates = next;
                return;
            }
            resumeAt(next[0] - static_cast<int64_t>(undecided), candidateIndex, candidateSeenAt);
            lastRamp = next[0];
            candidates.clear();
            return;
        }
        // The undecided run ends here without settling: take its first reading.
        resumeAt(candidates.front() - static_cast<int64_t>(undecided - 1), candidateIndex,
                 candidateSeenAt);
        lastRamp = candidates.front();
        candidates.clear();
    }
    if (isSilence) {
        ++silent;
        ++silentRun;
        return;
    }
    if (lastRamp && silentRun == 0 && matches(*lastRamp + 1, lo, hi)) {
        ++*lastRamp;
        ++ramp;
        return;
    }
    std::vector<int64_t> found = decode(lo, hi);
    if (found.empty()) {
        ++unreadable;
        return;
    }
    ++ramp;
    if (found.size() == 1) {
        resumeAt(found[0], index, now);
        lastRamp = found[0];
        return;
    }
    candidates = std::move(found);
    candidateIndex = index;
    candidateSeenAt = now;
}

void RampTracker::feed(const uint8_t* data, size_t count, double now) {
    for (size_t i = 0; i < count; ++i, ++index) {
        take(loadSample(data + 4 * i), loadSample(data + 4 * i + 2), now);
    }
}
