#pragma once
// The steady tone qw-pulse-clicks can play under its numbered clicks (--tone), so that a
// receiving end's dropouts show as gaps in a continuous signal, not only as lost clicks.
//
// Left and right carry different pitches, neither with a period of a whole number of
// milliseconds or samples, so that audio skipped in whole milliseconds or whole packets shows as
// a phase jump on at least one channel. The tone stays well under the onset level of the
// receiving app, and is left out around each click (the millisecond before the click's, the
// click's and the one after), so that the click's samples carry nothing but the click: a
// resampler on the way smears a click over its neighbours and scales its peak, and the number it
// carries can then be read back from the ratio of its right and left samples. That ratio is
// exact only to a code or two (16-bit rounding of the smeared samples), so with the tone a click
// carries its number modulo 1024 in steps of 16 codes.
#include <cmath>
#include <cstdint>

namespace click_tone {

constexpr double kRate = 48000;
constexpr double kLeftHz = 1171;
constexpr double kRightHz = 1553;
constexpr double kAmplitude = 3277;  // -20 dBFS
constexpr int kGateBefore = 48;      // frames without tone before a click
constexpr int kGateAfter = 96;       // and from the click on

constexpr int kCodeStep = 16;
constexpr int64_t kCodeCycle = 1024;

// The right channel of click `number` (the left is 16384).
inline int16_t code(int64_t number) {
    return static_cast<int16_t>(number % kCodeCycle * kCodeStep);
}

inline int16_t sample(bool right, int64_t frame) {
    const double hz = right ? kRightHz : kLeftHz;
    const double cycles = std::fmod(static_cast<double>(frame) * hz / kRate, 1.0);
    return static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * M_PI * cycles)));
}

}  // namespace click_tone
