#pragma once
// Fitting a sine of known frequency to received samples: amplitude, phase and the ratio of the
// fitted sine's power to everything else (SNR).

#include <cmath>
#include <cstddef>
#include <vector>

struct SineFit {
    double amplitude = 0;
    double phase = 0;  // radians, of sin(2 pi f n + phase)
    double snrDb = 0;
};

// Least-squares fit of a sin + b cos + c at `cyclesPerSample` over samples [from, end).
template <class T>
SineFit fitSine(const std::vector<T>& y, double cyclesPerSample, size_t from = 0,
                double scale = 1.0) {
    double s[3][4] = {};
    for (size_t i = from; i < y.size(); ++i) {
        const double t = 2 * M_PI * cyclesPerSample * double(i);
        const double v[3] = {std::sin(t), std::cos(t), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) s[r][c] += v[r] * v[c];
            s[r][3] += v[r] * double(y[i]) / scale;
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int r = i + 1; r < 3; ++r) {
            const double m = s[r][i] / s[i][i];
            for (int c = i; c < 4; ++c) s[r][c] -= m * s[i][c];
        }
    }
    double x[3];
    for (int i = 2; i >= 0; --i) {
        double v = s[i][3];
        for (int c = i + 1; c < 3; ++c) v -= s[i][c] * x[c];
        x[i] = v / s[i][i];
    }
    double signal = 0, noise = 0;
    for (size_t i = from; i < y.size(); ++i) {
        const double t = 2 * M_PI * cyclesPerSample * double(i);
        const double model = x[0] * std::sin(t) + x[1] * std::cos(t) + x[2];
        const double e = double(y[i]) / scale - model;
        signal += (model - x[2]) * (model - x[2]);
        noise += e * e;
    }
    SineFit fit;
    fit.amplitude = std::hypot(x[0], x[1]);
    fit.phase = std::atan2(x[1], x[0]);
    fit.snrDb = noise > 0 ? 10 * std::log10(signal / noise) : 300.0;
    return fit;
}
