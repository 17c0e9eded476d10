#include "drift_controller.h"

#include <algorithm>
#include <cmath>

namespace qw::receiver {

namespace {

// The level's pull: the error (seconds) beyond a dead band, over this many seconds, as a rate
// (200 ppm per millisecond), at most 200 ppm (0.2 Hz at 1 kHz, a third of a cent). Errors within
// the dead band are left alone: a level a fraction of a millisecond off costs nothing, while a
// pull on it keeps the pitch off. A change of the target is drained at close to the limit and
// then left, where a pull on the whole error keeps the pitch a little off for as long as its
// exponential tail lasts (an error of 2 ms is drained in about 20 s, after which the pitch is
// the measured drift alone).
// Until the clocks are measured (the first 2–3 s of a connection) the level alone steers,
// as a loop that finds the drift itself would: over a second, with no dead band.
constexpr double kLevelSeconds = 5.0;
constexpr double kDeadBandSeconds = 0.0002;
constexpr double kPullLimitPpm = 200.0;
// The pull moves by at most this much a second: a faster sweep of the pitch shows in a 100 ms
// window as a phase error against any one frequency (40 ppm/s at 1 kHz: about 80 dB).
constexpr double kPullSlewPpmPerSecond = 40.0;
constexpr double kUnmeasuredLevelSeconds = 1.0;
// The level's error is clipped to this, so that a stall moves the pitch no more than any other
// error of a few milliseconds; at most 1000 ppm (1 Hz at 1 kHz) while the clocks are not
// measured: the start-up's bursts must not swing the pitch further.
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

double deadBand(double errorSeconds) {
    const double beyond = std::max(0.0, std::abs(errorSeconds) - kDeadBandSeconds);
    return std::copysign(beyond, errorSeconds);
}

}  // namespace

void DriftController::restart(double levelFrames, double clockPpm) {
    level_ = levelFrames;
    target_ = levelFrames;
    correctionPpm_ = std::clamp(clockPpm, -kLimitPpm, kLimitPpm);
    pullPpm_ = 0;
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
    // Once the clocks are measured, their drift takes over what the level's pull did until then
    // (the correction's low-pass smooths the change over).
    if (measured && !measured_) pullPpm_ = 0;
    measured_ = measured;
    if (measured) {
        const double wantedPull =
            std::clamp(1e6 * deadBand(errorSeconds) / kLevelSeconds, -kPullLimitPpm, kPullLimitPpm);
        const double slew = kPullSlewPpmPerSecond * dt;
        pullPpm_ = std::clamp(wantedPull, pullPpm_ - slew, pullPpm_ + slew);
    } else {
        pullPpm_ = 1e6 * errorSeconds / kUnmeasuredLevelSeconds;
    }
    const double wanted = std::clamp(clockPpm + pullPpm_, -kLimitPpm, kLimitPpm);
    correctionPpm_ = lowPass(correctionPpm_, wanted, dt, kCorrectionSeconds / speed);
    return correctionPpm_;
}

}  // namespace qw::receiver
