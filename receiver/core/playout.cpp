#include "playout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/wire_format.h"

namespace qw::receiver {

namespace {

// How fast the level's pull drains the level at its limit (200 ppm).
constexpr double kDrainMsPerSecond = 0.2;

}  // namespace

Playout::Playout(SampleRing& ring, TargetPolicy& target, Resampler& resampler, double outputRate,
                 PlayoutFigures& figures)
    : ring_(ring),
      target_(target),
      resampler_(resampler),
      rate_(outputRate),
      inputPerMs_(wire::kSampleRate / 1000.0),
      fadeFrames_(static_cast<uint32_t>(outputRate * kFadeMs / 1000.0)),
      figures_(figures),
      drift_(wire::kSampleRate, outputRate),
      outputFit_(outputRate) {}

void Playout::startOver() {
    playing_ = false;
    resampler_.reset();
    figures_.freshStarts.fetch_add(1, std::memory_order_relaxed);
}

// Two kinds of overrun: the level past the hard bound (drop at once), or well above the target
// for longer than a stall explains, which the level's pull (0.2 ms a second at most) would
// take far too long to drain. Either way the oldest frames go, down to the target on average;
// one count per episode, however many pulls it lasts.
void Playout::dropOverrun(size_t level, uint32_t frames) {
    const double targetMs = target_.targetFrames() / inputPerMs_;
    const double boundMs = std::max(2 * targetMs, targetMs + kOverrunHeadroomMs);
    // A target coming down leaves the level above it for as long as the pull takes to drain
    // it: that is a drain on its way, not surplus to drop.
    drainedTargetMs_ = std::max(targetMs, drainedTargetMs_ - kDrainMsPerSecond * frames / rate_);
    const double highMs = drainedTargetMs_ + std::max(drainedTargetMs_, kHighMarginMs);
    const double sampled = feed_.arrivalLevel;
    const double measured = sampled >= 0 ? sampled : static_cast<double>(level);
    highFrames_ = measured > highMs * inputPerMs_ ? highFrames_ + frames : 0;
    // What the output's request has yet to take is not surplus (an output catching up after a
    // stall asks for all that fell due meanwhile at once).
    const double pending =
        static_cast<double>(pendingRequest_) * wire::kSampleRate / rate_ + catchUpFrames();
    const bool drop = static_cast<double>(level) - pending > boundMs * inputPerMs_ ||
                      highFrames_ > kHighSeconds * rate_;
    if (drop) {
        const double arrival = feed_.arrivalFrames;
        ring_.dropOldest(static_cast<size_t>(targetMs * inputPerMs_ + 0.5 * arrival));
        if (!dropping_) figures_.overruns.fetch_add(1, std::memory_order_relaxed);
        highFrames_ = 0;
        feed_.arrivalLevel = -1;  // stale until the next arrival
    }
    dropping_ = drop;
}

// Runs the resampler on what the ring holds; returns the frames produced (fewer than asked
// only when the ring ran dry).
uint32_t Playout::resample(float* out, uint32_t frames) {
    uint32_t left = frames;
    while (left > 0) {
        size_t available = 0;
        const float* in = ring_.readPointer(available);
        if (available == 0) break;
        const auto given = static_cast<uint32_t>(std::min<size_t>(available, 1u << 20));
        uint32_t inLeft = given;
        const uint32_t outBefore = left;
        resampler_.process(in, inLeft, out + 2 * size_t{frames - left}, left);
        ring_.consume(given - inLeft);
        if (inLeft == given && left == outBefore) break;  // neither taken nor given: stuck
    }
    return frames - left;
}

void Playout::fadeIn(float* out, uint32_t frames) {
    for (uint32_t i = 0; i < frames && fadeInDone_ < fadeFrames_; ++i, ++fadeInDone_) {
        const float gain = static_cast<float>(fadeInDone_) / static_cast<float>(fadeFrames_);
        out[2 * i] *= gain;
        out[2 * i + 1] *= gain;
    }
}

// The ring ran dry after `produced` frames: fade the end of what there was, then silence until
// the buffer has refilled.
void Playout::underrun(float* out, uint32_t produced) {
    const uint32_t fade = std::min(produced, fadeFrames_);
    for (uint32_t i = 0; i < fade; ++i) {
        const float gain = static_cast<float>(fade - i) / static_cast<float>(fade + 1);
        out[2 * (produced - fade + i)] *= gain;
        out[2 * (produced - fade + i) + 1] *= gain;
    }
    playing_ = false;
    resampler_.reset();
    target_.onUnderrun();
    figures_.underruns.fetch_add(1, std::memory_order_relaxed);
}

void Playout::noteRequest(uint32_t frames, double seconds) {
    requested_ += frames;
    pendingRequest_ = frames;
    if (!outputClockGiven_) outputFit_.add(requested_, seconds);
    target_.noteRequest(requestPiece(frames, seconds));
}

// A request after a pause well beyond the usual one (an output catching up after a stall) asks
// for all that fell due meanwhile, and the buffer gained as much while nothing was taken: only
// the rest counts as the output's piece size.
double Playout::requestPiece(uint32_t frames, double seconds) {
    const double gap = lastRequestSeconds_ < 0 ? 0 : seconds - lastRequestSeconds_;
    lastRequestSeconds_ = seconds;
    if (gap > 1e-4) recentGaps_[nextGap_++ % recentGaps_.size()] = gap;
    double usual = HUGE_VAL;
    for (double g : recentGaps_) {
        if (g > 0) usual = std::min(usual, g);
    }
    if (usual < HUGE_VAL) requestCredit_ += std::max(0.0, gap - 2 * usual) * rate_;
    const double piece = std::max(0.0, frames - requestCredit_);
    requestCredit_ = std::max(0.0, requestCredit_ - frames);
    requestCatchUp_ = static_cast<uint32_t>(frames - piece);
    return piece;
}

// What the output is about to take at once beyond its usual pace, in input frames: the rest of
// a catch-up after a pause (of this request, and what has yet to be requested).
double Playout::catchUpFrames() const {
    const double frames = std::min(pendingRequest_, requestCatchUp_) + requestCredit_;
    return frames * wire::kSampleRate / rate_;
}

void Playout::outputClock(double frames, double seconds) {
    if (!outputClockGiven_) outputFit_.reset();
    outputClockGiven_ = true;
    outputFit_.add(frames, seconds);
}

// The drift: the output's measured rate against the sender's; the last one measured while
// either is not known (a new connection), zero before the first.
double Playout::clockPpm() {
    const double sender = feed_.senderRatio;
    // After a new connection the drift last measured stands in (most often the same sender)
    // until the new sender's clock is measured: the level steers gently on top of it.
    clockMeasured_ = clockMeasured_ || (sender > 0 && outputFit_.valid());
    if (sender > 0 && outputFit_.valid()) {
        clockPpm_ = 1e6 * (outputFit_.rateRatio() / sender - 1.0);
    }
    return clockPpm_;
}

// Arrivals come in bursts, so the level may have jumped well past the start: the surplus would
// only be delay, so it goes. What stays is the start level as it would be right after an
// arrival on time: a burst after a stall comes off the sender's grid, and when its last
// arrival was due some time ago, the output would have played that much of it by now (left
// in, it would stay as extra delay for as long as the level's gentle pull takes to drain it).
void Playout::start(double startFrames, double targetFrames) {
    const double due = feed_.latestDueSeconds;
    const double period = feed_.arrivalFrames / double{wire::kSampleRate};
    // Due longer ago than two arrivals' time: not the tail of a burst but a timeline that has
    // stepped (frames lost on the way), which the sender's fit has yet to take in.
    double sinceDue = due >= 0 ? std::max(0.0, lastRequestSeconds_ - due) : 0.0;
    sinceDue = sinceDue > 2 * period ? 0.0 : std::min(sinceDue, period);
    ring_.dropOldest(static_cast<size_t>(std::ceil(startFrames - sinceDue * wire::kSampleRate)));
    playing_ = true;
    fadeInDone_ = 0;
    drainedTargetMs_ = 0;
    drift_.restart(targetFrames, clockPpm());
    // The last sample was taken before the drop above: stale until the next arrival.
    feed_.arrivalLevel = -1;
}

void Playout::pull(float* out, uint32_t frames) {
    if (fromFeed_.take(feed_)) target_.update(feed_);
    if (ring_.takeFlush()) startOver();
    size_t level = ring_.readable();
    // Not while filling: the start drops any surplus itself.
    if (playing_) dropOverrun(level, frames);
    level = ring_.readable();
    const double targetFrames = target_.targetFrames();
    // The resampler draws some input at once when it starts. An output catching up after a pause
    // is about to take more at once: started with less, it would run dry again within the same
    // catch-up.
    const double startFrames =
        targetFrames + 0.5 * feed_.arrivalFrames + resampler_.startFrames() + catchUpFrames();
    if (!playing_ && level >= std::max(startFrames, 1.0)) start(startFrames, targetFrames);
    uint32_t produced = 0;
    if (playing_) {
        const double sampled = feed_.arrivalLevel;
        // No sample since the start: no news, rather than the ring's momentary level (which
        // right after a start holds half an arrival more than on average).
        const double measured = sampled >= 0 ? sampled : targetFrames;
        const double clock = clockPpm();
        const double ppm = drift_.update(measured, targetFrames, frames, clock, clockMeasured_);
        resampler_.setCorrection(1.0 + ppm * 1e-6);
        produced = resample(out, frames);
        fadeIn(out, produced);
        if (produced < frames) underrun(out, produced);
    }
    std::memset(out + 2 * produced, 0, size_t{frames - produced} * 2 * sizeof(float));
    target_.advance(frames);
    figures_.framesOut.fetch_add(frames, std::memory_order_relaxed);
    pendingRequest_ -= std::min(pendingRequest_, frames);
    publish(ring_.readable());
}

void Playout::publish(size_t level) {
    const double filtered = playing_ ? drift_.filteredLevel() : static_cast<double>(level);
    figures_.levelMs.store(filtered / inputPerMs_, std::memory_order_relaxed);
    figures_.targetMs.store(target_.targetFrames() / inputPerMs_, std::memory_order_relaxed);
    figures_.driftPpm.store(clockPpm_, std::memory_order_relaxed);
    figures_.playing.store(playing_, std::memory_order_relaxed);
}

}  // namespace qw::receiver
