#include "tone_check.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "click_tone.h"
#include "common/little_endian.h"

namespace {

constexpr int16_t kOnsetLevel = 8192;  // the receiving app's (phone-app --onsets)
constexpr size_t kWindowFrames = 480;  // 10 ms
constexpr double kSilentLevel = 0.25;  // of the tone's RMS
constexpr double kJumpLevel = 0.1;     // of the tone's amplitude, as a second difference
constexpr long kSmear = 12;            // frames a resampler spreads an edge over, either side

}  // namespace

std::vector<int16_t> readStereoWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    size_t at = 12;  // RIFF header
    while (at + 8 <= bytes.size()) {
        const uint32_t size = qw::getLe32(bytes.data() + at + 4);
        if (std::equal(bytes.begin() + static_cast<long>(at),
                       bytes.begin() + static_cast<long>(at) + 4, "data")) {
            const size_t n = std::min<size_t>(size, bytes.size() - at - 8) / 4 * 2;
            std::vector<int16_t> samples(n);
            for (size_t i = 0; i < n; ++i) {
                samples[i] = static_cast<int16_t>(qw::getLe16(bytes.data() + at + 8 + 2 * i));
            }
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

std::vector<HeardClick> findClicks(const std::vector<int16_t>& stereo) {
    std::vector<HeardClick> clicks;
    const size_t frames = stereo.size() / 2;
    int16_t last = 0;
    for (size_t f = 0; f < frames; ++f) {
        const int16_t left = stereo[2 * f];
        if (left >= kOnsetLevel && last < kOnsetLevel) {
            // Least squares of right against left over the smeared click.
            double rl = 0, ll = 0;
            const size_t from = f >= 8 ? f - 8 : 0, to = std::min(frames, f + 16);
            for (size_t k = from; k < to; ++k) {
                const auto l = static_cast<double>(stereo[2 * k]);
                rl += static_cast<double>(stereo[2 * k + 1]) * l;
                ll += l * l;
            }
            const double steps = 16384 * rl / ll / click_tone::kCodeStep;
            const int64_t code = std::lround(steps) % click_tone::kCodeCycle;
            clicks.push_back({f, (code + click_tone::kCodeCycle) % click_tone::kCodeCycle});
        }
        last = left;
    }
    return clicks;
}

bool renumberOnsets(std::vector<ArrivedOnset>& onsets, const std::vector<HeardClick>& clicks) {
    if (onsets.size() != clicks.size()) return false;
    constexpr int64_t cycle = click_tone::kCodeCycle;
    int64_t next = 0;
    for (size_t i = 0; i < onsets.size(); ++i) {
        const int64_t ahead = ((clicks[i].code - next) % cycle + cycle) % cycle;
        const int64_t number =
            std::max<int64_t>(0, next + (ahead < cycle / 2 ? ahead : ahead - cycle));
        onsets[i].code = number % 16384;
        next = number + 1;
    }
    return true;
}

ToneDropouts checkTone(const std::vector<int16_t>& stereo, const std::vector<HeardClick>& clicks) {
    ToneDropouts d;
    if (clicks.size() < 2) return d;
    const size_t first = clicks.front().frame, last = clicks.back().frame;
    // Frames near a click are not judged for jumps: the tone stops and starts there.
    std::vector<bool> gated(last + 1, false);
    for (const auto& c : clicks) {
        const long from = static_cast<long>(c.frame) - click_tone::kGateBefore - kSmear;
        const long to = static_cast<long>(c.frame) + click_tone::kGateAfter + kSmear;
        for (long k = std::max(0L, from); k <= std::min<long>(to, static_cast<long>(last)); ++k) {
            gated[static_cast<size_t>(k)] = true;
        }
    }
    // A steady tone x of angular frequency w satisfies x[k-1] + x[k+1] = 2 cos(w) x[k].
    const double twoCos[2] = {2 * std::cos(2 * M_PI * click_tone::kLeftHz / click_tone::kRate),
                              2 * std::cos(2 * M_PI * click_tone::kRightHz / click_tone::kRate)};
    const double silent =
        kSilentLevel * kSilentLevel * click_tone::kAmplitude * click_tone::kAmplitude / 2;
    const double jump = kJumpLevel * click_tone::kAmplitude;
    bool inGap = false;
    for (size_t w = first; w + kWindowFrames <= last; w += kWindowFrames) {
        double energy = 0;
        bool jumped = false;
        for (size_t k = w; k < w + kWindowFrames; ++k) {
            for (int ch = 0; ch < 2; ++ch) {
                const double x = stereo[2 * k + static_cast<size_t>(ch)];
                energy += x * x / 2;
                if (gated[k] || k == 0) continue;
                const double r = stereo[2 * (k - 1) + static_cast<size_t>(ch)] +
                                 stereo[2 * (k + 1) + static_cast<size_t>(ch)] - twoCos[ch] * x;
                jumped = jumped || std::fabs(r) > jump;
            }
        }
        ++d.windows;
        const bool isSilent = energy / kWindowFrames < silent;
        d.silent += isSilent;
        d.broken += !isSilent && jumped;
        const bool bad = isSilent || jumped;
        d.gaps += bad && !inGap;
        inGap = bad;
    }
    return d;
}
