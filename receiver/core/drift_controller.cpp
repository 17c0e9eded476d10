#include "drift_controller.h"

#include <algorithm>
#include <cmath>

namespace qw::receiver {

namespace {

// The level's pull: the error (seconds) over this many seconds, as a rate. It drains or fills
// an error of a few milliseconds within 10–20 s, at a pitch change of at most 200 ppm (the
// clip: 0.2 Hz at 1 kHz, a third of a cent), and is done soon, so that the pitch is right most
// of the time.
// Until the clocks are measured (the first 2–3 s of a connection) the level alone steers,
// ten times as hard, as a loop that finds the drift itself would.
constexpr double kLevelSeconds = 10.0;
constexpr double kUnmeasuredLevelSeconds = 1.0;
// ...and at most 1000 ppm (1 Hz at 1 kHz) while it does: the start-up's bursts must not swing
// the pitch further.
constexpr double kUnmeasuredClipSeconds = 0.001;
constexpr double kClipSeconds = 0.002;
// Time constants of the level's and the target's low-pass, and of the correction's (the level's
// and the correction's five times shorter while the clocks are not measured yet).
constexpr double kLevelFilterSeconds = 1.0;
constexpr double kUnmeasuredSpeedUp = 5.0;
constexpr double kTargetSeconds = 2.0;
constexpr double kCorrectionSeconds = 1.0;

double lowPass(double value, double input, double dt, double seconds) {
    return value + std::min(1.0, dt / seconds) * (input - value);
}

}  // namespace

void DriftController::restart(double levelFrames, double clockPpm) {
    level_ = levelFrames;
    target_ = levelFrames;
    correctionPpm_ = std::clamp(clockPpm, -kLimitPpm, kLimitPpm);
}

double DriftController::update(double levelFrames, double targetFrames, uint32_t outputFrames,
                               double clockPpm, bool measured) {
    const double dt = outputFrames / outputRate_;
    target_ = lowPass(target_, targetFrames, dt, kTargetSeconds);
    // A stall pushes the level far off for a moment; clipped, it moves the pitch no more than
    // any other error of a few milliseconds.
    const double clipSeconds = measured ? kClipSeconds : kUnmeasuredClipSeconds;
    const double clipFrames = clipSeconds * inputRate_;
    const double clipped = std::clamp(levelFrames, target_ - clipFrames, target_ + clipFrames);
    const double speed = measured ? 1.0 : kUnmeasuredSpeedUp;
    level_ = lowPass(level_, clipped, dt, kLevelFilterSeconds / speed);
    // A level below the target: consume fewer input frames per output frame (positive ppm).
    // Clipped again: the level's low-pass lags a target that is coming down.
    const double errorSeconds =
        std::clamp((target_ - level_) / inputRate_, -clipSeconds, clipSeconds);
    const double pull = 1e6 * errorSeconds / (measured ? kLevelSeconds : kUnmeasuredLevelSeconds);
    const double wanted = std::clamp(clockPpm + pull, -kLimitPpm, kLimitPpm);
    correctionPpm_ = lowPass(correctionPpm_, wanted, dt, kCorrectionSeconds / speed);
    return correctionPpm_;
}

}  // namespace qw::receiver
