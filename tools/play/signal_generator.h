// Test signals for qwplay: sine, clicks, a constant level, and a sample-counting ramp.
//
// The ramp: stereo frame n (n counted from 0) carries
//   left  = ((n mod 65536) - 32768) / 32768
//   right = ((floor(n / 65536) mod 65536) - 32768) / 32768
// Both are exact in 32-bit float, so a receiver recovers n from every frame and can check that
// each frame arrives once and in order. Frame 0 is (-1, -1). Silence (0, 0) is not a ramp frame
// below n = 2^31, so gaps of silence stand out.
#pragma once
#include <cstdint>
#include <optional>

namespace qwplay {

struct RampFrame {
    float left;
    float right;
};
RampFrame rampFrame(uint64_t n);
// The frame number of an exact ramp frame; absent for anything else.
std::optional<uint64_t> decodeRamp(float left, float right);

enum class SignalKind { kSine, kClicks, kRamp, kConstant };

struct SignalSpec {
    SignalKind kind = SignalKind::kSine;
    double frequency = 1000.0;       // sine
    double level = 0.5;              // sine amplitude, click height, constant value
    double clickIntervalMs = 500.0;  // clicks: one single-sample click this often, from frame 0
    uint64_t rampStart = 0;          // ramp: number of the first frame
};

class SignalGenerator {
  public:
    SignalGenerator(const SignalSpec& settings, double sampleRate);
    // Renders the next `frames` frames into two channel buffers.
    void render(float* left, float* right, uint32_t frames);
    uint64_t framesRendered() const { return position_; }

  private:
    SignalSpec spec_;
    double sampleRate_;
    uint64_t position_ = 0;
    uint64_t clickPeriod_ = 1;
};

}  // namespace qwplay
