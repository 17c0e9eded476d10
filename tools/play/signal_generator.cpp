#include "signal_generator.h"

#include <cmath>

namespace qwplay {

RampFrame rampFrame(uint64_t n) {
    const auto low = static_cast<int32_t>(n & 0xFFFF) - 32768;
    const auto high = static_cast<int32_t>((n >> 16) & 0xFFFF) - 32768;
    return {static_cast<float>(low) / 32768.0f, static_cast<float>(high) / 32768.0f};
}

std::optional<uint64_t> decodeRamp(float left, float right) {
    const float l = left * 32768.0f + 32768.0f;
    const float r = right * 32768.0f + 32768.0f;
    if (!(l >= 0.0f && l <= 65535.0f && r >= 0.0f && r <= 65535.0f)) return std::nullopt;
    if (l != std::floor(l) || r != std::floor(r)) return std::nullopt;
    const uint64_t n = (static_cast<uint64_t>(r) << 16) | static_cast<uint64_t>(l);
    if (n == 0x80008000u) return std::nullopt;  // (0, 0): silence
    return n;
}

SignalGenerator::SignalGenerator(const SignalSpec& settings, double sampleRate)
    : spec_(settings), sampleRate_(sampleRate) {
    const double period = std::round(settings.clickIntervalMs / 1000.0 * sampleRate);
    clickPeriod_ = period >= 1.0 ? static_cast<uint64_t>(period) : 1;
}

void SignalGenerator::render(float* left, float* right, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i, ++position_) {
        float l = 0.f, r = 0.f;
        switch (spec_.kind) {
            case SignalKind::kSine: {
                // The phase from the frame number keeps long runs free of accumulated error.
                const double cycles =
                    std::fmod(static_cast<double>(position_) * spec_.frequency / sampleRate_, 1.0);
                l = r = static_cast<float>(spec_.level * std::sin(2.0 * M_PI * cycles));
                break;
            }
            case SignalKind::kClicks:
                l = r = position_ % clickPeriod_ == 0 ? static_cast<float>(spec_.level) : 0.f;
                break;
            case SignalKind::kRamp: {
                const RampFrame f = rampFrame(spec_.rampStart + position_);
                l = f.left;
                r = f.right;
                break;
            }
            case SignalKind::kConstant:
                l = r = static_cast<float>(spec_.level);
                break;
        }
        left[i] = l;
        right[i] = r;
    }
}

}  // namespace qwplay
