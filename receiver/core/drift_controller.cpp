#include "drift_controller.h"

#include <algorithm>

namespace qw::receiver {

namespace {

// The loop: the level error e (seconds) moves as de/dt = -(drift - correction), and
// correction = kP e + kI ∫e with kP = 2ζω, kI = ω², ζ = 1. It starts fast to find the drift
// (ω = 0.5 rad/s: a 1 ms error asks 1000 ppm) and narrows to ω = 0.2 rad/s within ten seconds,
// so that the arrival jitter left after the level filter moves the rate less.
constexpr double kStartOmega = 0.5;
constexpr double kFinalOmega = 0.2;
constexpr double kNarrowingSeconds = 7.0;
constexpr double kLevelFilterSeconds = 0.25;

}  // namespace

void DriftController::restart(double levelFrames, bool forgetDrift) {
    level_ = levelFrames;
    if (forgetDrift) {
        integralPpm_ = 0;
        lockedSeconds_ = 0;
    }
    correctionPpm_ = integralPpm_;
}

double DriftController::update(double levelFrames, double targetFrames, uint32_t outputFrames) {
    const double dt = outputFrames / outputRate_;
    const double alpha = std::min(1.0, dt / kLevelFilterSeconds);
    level_ += alpha * (levelFrames - level_);
    // A level above the target means the output is too slow to drain it: correct towards
    // consuming more input, a negative ppm in this sign convention.
    const double errorSeconds = (targetFrames - level_) / inputRate_;
    lockedSeconds_ += dt;
    const double omega =
        std::max(kFinalOmega, kStartOmega / (1.0 + lockedSeconds_ / kNarrowingSeconds));
    integralPpm_ =
        std::clamp(integralPpm_ + 1e6 * omega * omega * errorSeconds * dt, -kLimitPpm, kLimitPpm);
    correctionPpm_ =
        std::clamp(integralPpm_ + 1e6 * 2 * omega * errorSeconds, -kLimitPpm, kLimitPpm);
    return correctionPpm_;
}

}  // namespace qw::receiver
