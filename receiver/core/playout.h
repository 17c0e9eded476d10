#pragma once
// The output side of the receiver, called from the output device's pull: keeps the buffer near
// its target delay, follows the sender's clock by resampling at the rate the drift controller
// asks, fades out into silence on an underrun and back in once the buffer has refilled, drops
// the oldest frames when the buffer grows past its bound, and starts afresh after a flush.
// Never allocates and never waits.

#include <zita-resampler/vresampler.h>

#include <atomic>
#include <cstdint>

#include "drift_controller.h"
#include "latency_target.h"
#include "sample_ring.h"

namespace qw::receiver {

struct PlayoutFigures {
    std::atomic<double> levelMs{0};
    std::atomic<double> targetMs{0};
    std::atomic<double> driftPpm{0};
    std::atomic<uint64_t> underruns{0};
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> freshStarts{0};
    std::atomic<uint64_t> framesOut{0};
    std::atomic<bool> playing{false};
};

class Playout {
  public:
    // Fades last this long; the buffer may hold this much above its target before the oldest
    // frames are dropped (or twice the target, if more).
    static constexpr double kFadeMs = 2.0;
    static constexpr double kOverrunHeadroomMs = 80.0;
    // Above the target by this much (or by the target, if more) for this long: dropped too.
    static constexpr double kHighMarginMs = 10.0;
    static constexpr double kHighSeconds = 0.5;

    Playout(SampleRing& ring, LatencyTarget& target, double outputRate, PlayoutFigures& figures);

    // Fills `frames` interleaved stereo frames.
    void pull(float* out, uint32_t frames);

    // The output's whole request, before it is filled piece by piece: the buffer must be able
    // to cover a request, so the target never goes below half a request plus half an arrival
    // plus a millisecond, whatever the configured target.
    void noteRequest(uint32_t frames);

    // From the producer's side: how many frames arrive at once. Playing starts when the buffer
    // holds the target plus half of that (and what the resampler takes in when it starts), so
    // that the target is the level on average.
    void setArrivalFrames(uint32_t frames) {
        arrivalFrames_.store(frames, std::memory_order_relaxed);
    }
    // From the producer's side, right after an arrival: the buffer's level then, less half the
    // usual arrival. This samples the level's average with far less noise than the output's
    // pulls can (they see the whole rise and fall of every arrival).
    void setArrivalLevel(double frames) { arrivalLevel_.store(frames, std::memory_order_relaxed); }

  private:
    void startOver();
    void dropOverrun(size_t level, uint32_t frames);
    uint32_t resample(float* out, uint32_t frames);
    void fadeIn(float* out, uint32_t frames);
    void underrun(float* out, uint32_t produced);
    void publish(size_t level);
    double effectiveTargetFrames() const;

    SampleRing& ring_;
    LatencyTarget& target_;
    double rate_;
    double inputPerMs_;
    uint32_t fadeFrames_;
    PlayoutFigures& figures_;
    DriftController drift_;
    VResampler resampler_;
    bool playing_ = false;
    bool fresh_ = true;  // no audio played since the last flush
    uint32_t fadeInDone_ = 0;
    double largestRequest_ = 0;  // decays slowly, so one large request is remembered a while
    double highFrames_ = 0;      // output frames for which the level has been well above target
    bool dropping_ = false;
    std::atomic<uint32_t> arrivalFrames_{0};
    std::atomic<double> arrivalLevel_{-1};  // below zero: none yet
};

}  // namespace qw::receiver
