// The volume taper: linear in decibels, silence at the bottom.
#include "volume_taper.h"

#include <cmath>

namespace {

constexpr Float32 kSpan = kVolumeMaxDecibels - kVolumeMinDecibels;

Float32 clamped(Float32 x, Float32 low, Float32 high) {
    if (!(x > low)) return low;  // also NaN
    return x < high ? x : high;
}

}  // namespace

Float32 volumeClampedScalar(Float32 scalar) {
    return clamped(scalar, 0.0f, 1.0f);
}

Float32 volumeDecibelsOfScalar(Float32 scalar) {
    return kVolumeMinDecibels + kSpan * clamped(scalar, 0.0f, 1.0f);
}

Float32 volumeScalarOfDecibels(Float32 decibels) {
    return (clamped(decibels, kVolumeMinDecibels, kVolumeMaxDecibels) - kVolumeMinDecibels) / kSpan;
}

Float32 volumeGainOfScalar(Float32 scalar) {
    const Float32 s = clamped(scalar, 0.0f, 1.0f);
    if (s == 0.0f) return 0.0f;
    if (s == 1.0f) return 1.0f;  // the copy stays bit-exact at the top
    return std::pow(10.0f, volumeDecibelsOfScalar(s) / 20.0f);
}
