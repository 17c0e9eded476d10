#include "drift_controller.h"

#include <algorithm>
#include <cmath>

namespace qw::receiver {

namespace {

// The loop: the level error e (seconds) moves as de/dt = -(drift - correction), and
// correction = kP e + kI ∫e with kP = 2ζω, kI = ω², ζ = 0.7. It starts fast to find the drift
// (ω = 0.8 rad/s: a 1 ms error asks 1100 ppm) and narrows to ω = 0.05 rad/s within about a
// minute. The level filter narrows with it (a time constant of 0.125/ω, at most 1 s): the
// level seen at the output's pulls carries a slow beat between the arrival and pull grids, and
// a narrow loop keeps it from moving the rate faster than a sine's pitch can follow cleanly.
constexpr double kStartOmega = 0.8;
constexpr double kFinalOmega = 0.05;
constexpr double kNarrowingSeconds = 4.0;
constexpr double kFilterOmegaSeconds = 0.125;
constexpr double kMaxFilterSeconds = 1.0;
constexpr double kDamping = 0.7;
constexpr double kClipSeconds = 0.003;
// The target coming down (the automatic mode lowers it in 0.5 ms steps) reaches the loop through
// a low-pass of this time constant: a step would step the proportional part, and so the pitch
// (35 ppm for 0.5 ms once narrowed), within one moment. A rise passes at once: it comes with an
// underrun's restart or with a large output request, which the buffer must cover soon.
constexpr double kTargetSeconds = 5.0;

}  // namespace

void DriftController::restart(double levelFrames, bool forgetDrift) {
    level_ = levelFrames;
    target_ = levelFrames;
    if (forgetDrift) {
        integralPpm_ = 0;
        lockedSeconds_ = 0;
    }
    correctionPpm_ = integralPpm_;
}

double DriftController::update(double levelFrames, double targetFrames, uint32_t outputFrames) {
    const double dt = outputFrames / outputRate_;
    lockedSeconds_ += dt;
    const double omega =
        std::max(kFinalOmega, kStartOmega / (1.0 + lockedSeconds_ / kNarrowingSeconds));
    const double filterSeconds = std::min(kMaxFilterSeconds, kFilterOmegaSeconds / omega);
    target_ = targetFrames > target_
                  ? targetFrames
                  : target_ + std::min(1.0, dt / kTargetSeconds) * (targetFrames - target_);
    // Stalls push the level far off for a moment, and mostly one way (an output that stalls
    // lets it rise; the output is usually the busier side); clipped, they no longer bias the
    // estimate, while the small steady errors that drift makes pass unchanged.
    const double clipFrames = kClipSeconds * inputRate_;
    const double clipped = std::clamp(levelFrames, target_ - clipFrames, target_ + clipFrames);
    level_ += std::min(1.0, dt / filterSeconds) * (clipped - level_);
    // A level above the target means the output is too slow to drain it: correct towards
    // consuming more input, a negative ppm in this sign convention.
    const double errorSeconds = (target_ - level_) / inputRate_;
    const double proportionalPpm = 1e6 * 2 * kDamping * omega * errorSeconds;
    // While the proportional part alone asks for the limit (a large error, as when an output
    // that pulls in big pieces starts), the integral waits: winding it up then would take the
    // narrowed loop a long time to undo.
    if (std::abs(proportionalPpm) < kLimitPpm) {
        integralPpm_ = std::clamp(integralPpm_ + 1e6 * omega * omega * errorSeconds * dt,
                                  -kLimitPpm, kLimitPpm);
    }
    correctionPpm_ = std::clamp(integralPpm_ + proportionalPpm, -kLimitPpm, kLimitPpm);
    return correctionPpm_;
}

}  // namespace qw::receiver
