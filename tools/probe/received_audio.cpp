#include "received_audio.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/little_endian.h"

namespace qwprobe {

namespace {

// The ramp's two float samples for frame n (as the player generates them).
void rampValues(uint64_t n, double& left, double& right) {
    left = (static_cast<double>(n & 0xFFFF) - 32768.0) / 32768.0;
    right = (static_cast<double>((n >> 16) & 0xFFFF) - 32768.0) / 32768.0;
}

bool near(int16_t got, double value) {
    return std::fabs(static_cast<double>(got) - value * 32767.0) <= 1.0;
}

// The bridge's own mapping of an in-range float sample: x 32767 in float, truncated.
int16_t exact16(double value) {
    return static_cast<int16_t>(static_cast<float>(value) * 32767.0f);
}

bool isRampFrame(uint64_t n, int16_t l, int16_t r, bool exact = false) {
    double left, right;
    rampValues(n, left, right);
    if (exact) return l == exact16(left) && r == exact16(right);
    return near(l, left) && near(r, right);
}

// The ramp number that (l, r) is, nearest to `hint` when several fit: by the exact mapping if
// any number fits it exactly (within 1 LSB neighbouring numbers would be ambiguous), otherwise
// within 1 LSB.
std::optional<uint64_t> decode(int16_t l, int16_t r, uint64_t hint) {
    if (l == 0 && r == 0) return std::nullopt;  // silence: the ramp reaches it only near 2^31
    const auto low0 = static_cast<int64_t>(std::lround(l * 32768.0 / 32767.0)) + 32768;
    const auto high0 = static_cast<int64_t>(std::lround(r * 32768.0 / 32767.0)) + 32768;
    const auto distance = [hint](uint64_t x) { return x > hint ? x - hint : hint - x; };
    for (const bool exact : {true, false}) {
        std::optional<uint64_t> best;
        for (int64_t dh = -2; dh <= 2; ++dh) {
            for (int64_t dl = -2; dl <= 2; ++dl) {
                const int64_t low = low0 + dl, high = high0 + dh;
                if (low < 0 || low > 0xFFFF || high < 0 || high > 0xFFFF) continue;
                const auto n = static_cast<uint64_t>(high << 16 | low);
                if (!isRampFrame(n, l, r, exact)) continue;
                if (!best || distance(n) < distance(*best)) best = n;
            }
        }
        if (best) return best;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Pcm16> readPcm16Wav(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = "not a WAV file";
        return std::nullopt;
    }
    Pcm16 pcm;
    bool haveFormat = false;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint32_t size = qw::getLe32(&bytes[pos + 4]);
        const uint8_t* body = &bytes[pos + 8];
        const size_t available = std::min<size_t>(size, bytes.size() - pos - 8);
        if (std::memcmp(&bytes[pos], "fmt ", 4) == 0 && available >= 16) {
            if (qw::getLe16(body) != 1 || qw::getLe16(body + 2) != 2 ||
                qw::getLe16(body + 14) != 16) {
                error = "not 16-bit PCM stereo";
                return std::nullopt;
            }
            pcm.sampleRate = qw::getLe32(body + 4);
            haveFormat = true;
        } else if (std::memcmp(&bytes[pos], "data", 4) == 0 && haveFormat) {
            for (size_t i = 0; i + 4 <= available; i += 4) {
                pcm.left.push_back(static_cast<int16_t>(qw::getLe16(body + i)));
                pcm.right.push_back(static_cast<int16_t>(qw::getLe16(body + i + 2)));
            }
            return pcm;
        }
        pos += 8 + size + (size & 1);
    }
    error = "no audio data";
    return std::nullopt;
}

RampCheck checkRamp(const Pcm16& audio) {
    RampCheck c;
    c.sampleFramesReceived = audio.left.size();
    uint64_t foreignRun = 0;  // non-ramp frames since the last ramp frame
    for (size_t i = 0; i < audio.left.size(); ++i) {
        const int16_t l = audio.left[i], r = audio.right[i];
        const uint64_t next = c.last ? *c.last + 1 : 0;
        if (c.last && isRampFrame(next, l, r)) {
            c.last = next;
            ++c.rampFrames;
            c.inexact += !isRampFrame(next, l, r, true);
            c.foreign += foreignRun;
            foreignRun = 0;
            continue;
        }
        // A jump is believed only when the frame after it continues from there, so that a
        // stray frame that happens to look like some ramp frame is not taken for one.
        auto n = decode(l, r, next);
        if (n && !(i + 1 < audio.left.size() &&
                   isRampFrame(*n + 1, audio.left[i + 1], audio.right[i + 1]))) {
            n.reset();
        }
        if (!n) {
            if (c.last) ++foreignRun;
            continue;
        }
        if (!c.first) {
            c.first = n;
        } else {
            ++c.breaks;
            if (*n > next) c.lost += *n - next;
            if (*n < next) c.repeated += next - *n;
            c.foreign += foreignRun;
        }
        foreignRun = 0;
        c.last = n;
        ++c.rampFrames;
        c.inexact += !isRampFrame(*n, l, r, true);
    }
    return c;
}

std::optional<SineCheck> checkSine(const Pcm16& audio, double frequencyHz, double skipSeconds) {
    const auto& y = audio.left;
    const double rate = audio.sampleRate;
    if (y.empty() || rate <= 0) return std::nullopt;
    size_t begin = y.size(), end = 0;
    for (size_t i = 0; i < y.size(); ++i) {
        if (std::abs(y[i]) > 64) {
            begin = std::min(begin, i);
            end = i + 1;
        }
    }
    const auto skip = static_cast<size_t>(skipSeconds * rate);
    if (begin >= end || end - begin <= 2 * skip + static_cast<size_t>(rate / frequencyHz) * 4) {
        return std::nullopt;
    }
    begin += skip;
    end -= skip;

    // Least-squares fit of a sin + b cos + c at the expected frequency.
    const double w = 2 * M_PI * frequencyHz / rate;
    double s[3][4] = {};
    for (size_t i = begin; i < end; ++i) {
        const double t = w * static_cast<double>(i - begin);
        const double v[3] = {std::sin(t), std::cos(t), 1.0};
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) s[a][b] += v[a] * v[b];
            s[a][3] += v[a] * y[i] / 32767.0;
        }
    }
    for (int k = 0; k < 3; ++k) {
        for (int a = k + 1; a < 3; ++a) {
            const double m = s[a][k] / s[k][k];
            for (int b = k; b < 4; ++b) s[a][b] -= m * s[k][b];
        }
    }
    double x[3];
    for (int k = 2; k >= 0; --k) {
        double v = s[k][3];
        for (int b = k + 1; b < 3; ++b) v -= s[k][b] * x[b];
        x[k] = v / s[k][k];
    }
    double signal = 0, noise = 0;
    for (size_t i = begin; i < end; ++i) {
        const double t = w * static_cast<double>(i - begin);
        const double sine = x[0] * std::sin(t) + x[1] * std::cos(t);
        const double e = y[i] / 32767.0 - sine - x[2];
        signal += sine * sine;
        noise += e * e;
    }

    // Frequency from the first and last upward zero crossing (interpolated).
    double firstCross = -1, lastCross = -1;
    int crossings = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        if (y[i - 1] < 0 && y[i] >= 0) {
            const double at = static_cast<double>(i - 1) +
                              static_cast<double>(-y[i - 1]) / static_cast<double>(y[i] - y[i - 1]);
            if (firstCross < 0) firstCross = at;
            lastCross = at;
            ++crossings;
        }
    }
    SineCheck c;
    c.seconds = static_cast<double>(end - begin) / rate;
    c.amplitude = std::hypot(x[0], x[1]);
    c.snrDb = noise > 0 ? 10 * std::log10(signal / noise) : 300;
    if (crossings >= 2) c.measuredFrequency = (crossings - 1) * rate / (lastCross - firstCross);
    return c;
}

LatencyStats clickLatency(const std::vector<Click>& clicks, const std::vector<Onset>& onsets) {
    LatencyStats s;
    std::vector<double> ms;
    int64_t firstMixed = INT64_MAX;
    for (const Click& c : clicks) firstMixed = std::min(firstMixed, c.mixedNs);
    for (const Onset& o : onsets) {
        if (o.arrivedNs < firstMixed) continue;  // from whatever played before the clicks
        // The click with this code that was mixed last before the onset arrived; a code one
        // off only when none matches exactly (a resampled click can lose a step).
        const Click* best = nullptr;
        for (const long long tolerance : {0LL, 1LL}) {
            for (const Click& c : clicks) {
                if (std::llabs(static_cast<long long>(c.number % 16384) - o.code) <= tolerance &&
                    c.mixedNs <= o.arrivedNs && (!best || c.mixedNs > best->mixedNs)) {
                    best = &c;
                }
            }
            if (best) break;
        }
        if (!best || o.arrivedNs - best->mixedNs > 1'000'000'000) {
            ++s.unmatched;
            continue;
        }
        ms.push_back(static_cast<double>(o.arrivedNs - best->mixedNs) / 1e6);
    }
    s.matched = ms.size();
    if (ms.empty()) return s;
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        const auto i = static_cast<size_t>(std::ceil(q * static_cast<double>(ms.size()))) - 1;
        return ms[std::min(i, ms.size() - 1)];
    };
    s.medianMs = at(0.5);
    s.p99Ms = at(0.99);
    s.minMs = ms.front();
    s.maxMs = ms.back();
    return s;
}

std::vector<Click> parseClicks(const std::string& text) {
    std::vector<Click> clicks;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        unsigned long long n = 0;
        long long ns = 0;
        if (std::sscanf(line.c_str(), "click %llu output %*f mixed %lld", &n, &ns) == 2) {
            clicks.push_back({n, ns});
        }
    }
    return clicks;
}

std::vector<Onset> parseOnsets(const std::string& text) {
    std::vector<Onset> onsets;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("onset ");
        if (at == std::string::npos) continue;
        long long ns = 0, code = 0;
        if (std::sscanf(line.c_str() + at, "onset %lld code %lld", &ns, &code) == 2) {
            onsets.push_back({ns, code});
        }
    }
    return onsets;
}

}  // namespace qwprobe
