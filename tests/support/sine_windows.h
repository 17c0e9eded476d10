#pragma once
// Judging a sine that has passed through a resampler: each short window is fitted with its own
// frequency (searched within a band), so a slow change of pitch is allowed, while a gap, a click
// or a phase jump inside a window shows as a low SNR.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "signal_analysis.h"

struct WindowFit {
    double hz = 0;
    SineFit fit;
};

// Best fit of one window (samples [from, from + length) of `y`) with the frequency free within
// centreHz ± bandHz, at `rate` samples per second.
template <class T>
WindowFit fitWindow(const std::vector<T>& y, size_t from, size_t length, double rate,
                    double centreHz, double bandHz, double scale = 1.0) {
    const std::vector<T> window(y.begin() + static_cast<long>(from),
                                y.begin() + static_cast<long>(std::min(y.size(), from + length)));
    auto snrAt = [&](double hz) { return fitSine(window, hz / rate, 0, scale).snrDb; };
    double lo = centreHz - bandHz, hi = centreHz + bandHz;
    // A coarse scan finds the peak's neighbourhood; a golden-section search refines it.
    double best = lo, bestSnr = -1e9;
    for (int i = 0; i <= 10; ++i) {
        const double hz = lo + (hi - lo) * i / 10;
        const double s = snrAt(hz);
        if (s > bestSnr) bestSnr = s, best = hz;
    }
    const double step = (hi - lo) / 10;
    lo = best - step;
    hi = best + step;
    const double g = 0.6180339887;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double sa = snrAt(a), sb = snrAt(b);
    for (int i = 0; i < 30; ++i) {
        if (sa > sb) {
            hi = b, b = a, sb = sa, a = hi - g * (hi - lo), sa = snrAt(a);
        } else {
            lo = a, a = b, sa = sb, b = lo + g * (hi - lo), sb = snrAt(b);
        }
    }
    WindowFit w;
    w.hz = (lo + hi) / 2;
    w.fit = fitSine(window, w.hz / rate, 0, scale);
    return w;
}

// Fits of consecutive windows of `length` samples over [from, end).
template <class T>
std::vector<WindowFit> fitWindows(const std::vector<T>& y, size_t from, size_t length, double rate,
                                  double centreHz, double bandHz, double scale = 1.0) {
    std::vector<WindowFit> fits;
    for (size_t at = from; at + length <= y.size(); at += length) {
        fits.push_back(fitWindow(y, at, length, rate, centreHz, bandHz, scale));
    }
    return fits;
}

// The windows' median pitch and how many fit below 40 dB (a gap or a phase jump fits far below;
// a stall's level excursion can take a window to 40-60 dB, which is no gap). The last two
// windows are left out: the recording may end inside them.
struct WindowsJudged {
    double medianHz = 0;
    int broken = 0;
};
inline WindowsJudged judgeWindows(const std::vector<WindowFit>& fits) {
    std::vector<double> hz;
    WindowsJudged judged;
    for (size_t i = 0; i + 2 < fits.size(); ++i) {
        hz.push_back(fits[i].hz);
        judged.broken += fits[i].fit.snrDb < 40;
    }
    std::sort(hz.begin(), hz.end());
    if (!hz.empty()) judged.medianHz = hz[hz.size() / 2];
    return judged;
}
