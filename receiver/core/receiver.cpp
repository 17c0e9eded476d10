#include "receiver.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace qw::receiver {

namespace {

int64_t steadyNs(void*) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Receiver::Receiver(const qw_receiver_config& config)
    : ring_(kRingFrames),
      target_(config.latency_ms, config.automatic != 0, config.output_rate),
      resampler_(makeResampler(config)),
      playout_(ring_, target_, *resampler_, config.output_rate, playoutFigures_) {
    clock_ = steadyNs;
}

void Receiver::newConnection() {
    reader_.reset();
    sender_.reset();
    target_.resetLateness();
    connectionFrames_ = 0;
    // The usual arrival stays what it was (most often the same sender); the rest is not known.
    feed_.arrivalLevel = -1;
    feed_.senderRatio = 0;
    feed_.latenessSeconds = -1;
    feed_.latestDueSeconds = -1;
    playout_.handOver(feed_);
    ring_.flush();
    connections_.fetch_add(1, std::memory_order_relaxed);
}

bool Receiver::feed(const uint8_t* bytes, size_t size) {
    const uint64_t framesBefore = reader_.counts().completedAudioFrames;
    feedSeconds_ = seconds();
    const bool ok = reader_.feed(bytes, size, *this);
    if (reader_.counts().completedAudioFrames != framesBefore &&
        reader_.counts().lastAudioFrames > 0) {
        // The usual arrival is the smallest of the last few: a burst after a stall is not usual.
        recentArrivals_[nextArrival_++ % recentArrivals_.size()] = reader_.counts().lastAudioFrames;
        uint32_t usual = UINT32_MAX;
        for (uint32_t frames : recentArrivals_) {
            if (frames > 0) usual = std::min(usual, frames);
        }
        feed_.arrivalFrames = usual;
        feed_.arrivalLevel = static_cast<double>(ring_.readable()) - 0.5 * usual;
        feed_.senderRatio = sender_.valid() ? sender_.rateRatio() : 0;
        feed_.latenessSeconds = target_.lateness();
        feed_.latestDueSeconds = sender_.latestDue();
        playout_.handOver(feed_);
    }
    badPayloads_.store(reader_.counts().badPayloads, std::memory_order_relaxed);
    return ok;
}

void Receiver::onAudio(const uint8_t* samples, size_t frames) {
    const size_t written = ring_.write(samples, frames);
    framesIn_.fetch_add(frames, std::memory_order_relaxed);
    connectionFrames_ += static_cast<double>(frames);
    if (written < frames) fullDrops_.fetch_add(1, std::memory_order_relaxed);
}

// Each audio frame is an arrival, at the time its bytes were read: when several come in one
// read (a backlog after a stall of this side, or a network that held them back), the first of
// them shows how late they came, the last that the sender's timeline is where it was.
void Receiver::onAudioFrameEnd() {
    const double late = sender_.onArrival(connectionFrames_, feedSeconds_);
    if (sender_.valid()) target_.onArrival(late, feedSeconds_);
}

void Receiver::pull(float* out, uint32_t frames) {
    // The control loop updates once per piece; pieces of at most 10 ms keep it smooth whatever
    // the output asks for at once.
    constexpr uint32_t kPiece = 480;
    playout_.noteRequest(frames, seconds());
    while (frames > 0) {
        const uint32_t n = std::min(frames, kPiece);
        playout_.pull(out, n);
        out += 2 * n;
        frames -= n;
    }
}

void Receiver::pull(int16_t* out, uint32_t frames) {
    const auto piece = static_cast<uint32_t>(scratch_.size() / 2);
    playout_.noteRequest(frames, seconds());
    while (frames > 0) {
        const uint32_t n = std::min(frames, piece);
        playout_.pull(scratch_.data(), n);
        for (uint32_t i = 0; i < 2 * n; ++i) {
            const float v = std::clamp(scratch_[i] * 32767.0f, -32767.0f, 32767.0f);
            out[i] = static_cast<int16_t>(std::lrint(v));
        }
        out += 2 * n;
        frames -= n;
    }
}

qw_receiver_figures Receiver::figures() const {
    const PlayoutFigures& p = playoutFigures_;
    qw_receiver_figures f{};
    f.buffer_ms = p.levelMs.load(std::memory_order_relaxed);
    f.target_ms = p.targetMs.load(std::memory_order_relaxed);
    f.drift_ppm = p.driftPpm.load(std::memory_order_relaxed);
    f.underruns = p.underruns.load(std::memory_order_relaxed);
    f.overruns =
        p.overruns.load(std::memory_order_relaxed) + fullDrops_.load(std::memory_order_relaxed);
    f.bad_payloads = badPayloads_.load(std::memory_order_relaxed);
    f.connections = connections_.load(std::memory_order_relaxed);
    f.frames_in = framesIn_.load(std::memory_order_relaxed);
    f.frames_out = p.framesOut.load(std::memory_order_relaxed);
    f.playing = p.playing.load(std::memory_order_relaxed) ? 1 : 0;
    return f;
}

}  // namespace qw::receiver
