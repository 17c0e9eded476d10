#pragma once
// The output side of the receiver, called from the output device's pull: keeps the buffer near
// its target delay, follows the sender's clock by resampling at the drift measured between the
// output's timeline and the sender's (plus the level's gentle pull), fades out into silence on an
// underrun and back in once the buffer has refilled, drops the oldest frames when the buffer grows
// past its bound, and starts afresh after a flush. Never allocates and never waits.

#include <array>
#include <atomic>
#include <cstdint>

#include "drift_controller.h"
#include "feed_figures.h"
#include "latest_value.h"
#include "resampler.h"
#include "sample_ring.h"
#include "target_policy.h"
#include "timeline_fit.h"

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

    Playout(SampleRing& ring, TargetPolicy& target, Resampler& resampler, double outputRate,
            PlayoutFigures& figures);

    // Fills `frames` interleaved stereo frames.
    void pull(float* out, uint32_t frames);

    // The output's whole request, before it is filled piece by piece, at `seconds` of the
    // monotonic clock: the requests are the output's timeline, unless the output reports its
    // playback clock itself (outputClock), and their sizes what the target has to cover.
    void noteRequest(uint32_t frames, double seconds);
    // The output's own playback clock: `frames` played by `seconds`. Once given, the requests'
    // times are no longer used for the output's rate. On the output's thread.
    void outputClock(double frames, double seconds);

    // From the producer's side, after arrivals and at a new connection: what it knows, taken
    // at the next pull. Playing starts when the buffer holds the target plus half an arrival
    // (and what the resampler takes in when it starts), so that the target is the level on
    // average. The level sampled right after an arrival tells the level's average with far less
    // noise than the output's pulls can (they see the whole rise and fall of every arrival).
    void handOver(const FeedFigures& feed) { fromFeed_.publish(feed); }

  private:
    void startOver();
    void start(double startFrames, double targetFrames);
    void dropOverrun(size_t level, uint32_t frames);
    uint32_t resample(float* out, uint32_t frames);
    void fadeIn(float* out, uint32_t frames);
    void underrun(float* out, uint32_t produced);
    void publish(size_t level);
    double requestPiece(uint32_t frames, double seconds);
    double catchUpFrames() const;
    double clockPpm();

    SampleRing& ring_;
    TargetPolicy& target_;
    Resampler& resampler_;
    double rate_;
    double inputPerMs_;
    uint32_t fadeFrames_;
    PlayoutFigures& figures_;
    DriftController drift_;
    bool playing_ = false;
    uint32_t fadeInDone_ = 0;
    double highFrames_ = 0;  // output frames for which the level has been well above target
    bool dropping_ = false;
    double drainedTargetMs_ = 0;  // the target as far as the level can have followed it down
    LatestValue<FeedFigures> fromFeed_;
    FeedFigures feed_;  // the latest taken; its arrival level marked stale (<0) after a drop
    TimelineFit outputFit_;
    double requested_ = 0;  // output frames requested so far
    double lastRequestSeconds_ = -1;
    std::array<double, 8> recentGaps_{};  // between the latest requests
    size_t nextGap_ = 0;
    uint32_t pendingRequest_ = 0;  // of the output's current request, not yet pulled
    double requestCredit_ = 0;     // frames that fell due during a pause, not yet requested
    uint32_t requestCatchUp_ = 0;  // of the current request, what fell due during a pause
    bool outputClockGiven_ = false;
    double clockPpm_ = 0;         // the last drift measured on both timelines
    bool clockMeasured_ = false;  // on both timelines, once at least
};

}  // namespace qw::receiver
