#pragma once
// The buffer's target delay: every rule that decides it is here.
//
//   inputs                          rules                               output
//   configured target (start/floor) ┐
//   output's requests (pieces)      ├ need  = ½ largest request + ½ arrival + 1 ms
//   arrival size (feed snapshot)    ┘ fixed:     target = max(configured, need)
//   each arrival's lateness ──► memory ─► lateness L (recent peak, or what keeps coming back)
//   underruns                   automatic: +3 ms per burst of underruns, up to 100 ms;
//   output frames played          5 s after the last raise −1 ms/s, down to
//                                 max(floor, need + 2·L)        ──► targetFrames()
//
// The lateness memory lives on the connection's thread (onArrival, lateness: it sees every
// arrival); the lateness it finds reaches the output's thread in the feed's snapshot (update),
// with the arrival size. Everything else is the output's thread's. Time on that side is counted
// in output frames, so the rules hold the same in real and simulated time.

#include <array>
#include <cstdint>

#include "feed_figures.h"
#include "quillwave_receiver.h"

namespace qw::receiver {

class TargetPolicy {
  public:
    // Automatic: an underrun raises the target by this much (once per burst: raises at least
    // this far apart), never above the latency range's ceiling; it comes down again at this pace
    // once the last raise is this old.
    static constexpr double kRaiseMs = 3.0;
    static constexpr double kBurstSeconds = 0.5;
    static constexpr double kCeilingMs = QW_RECEIVER_LATENCY_MAX_MS;
    static constexpr double kHoldSeconds = 5.0;
    static constexpr double kLowerMsPerSecond = 1.0;
    // It comes down no further than the pieces' need plus this many times the lateness: room
    // for the next stall to be somewhat longer.
    static constexpr double kJitterMultiple = 2.0;
    // The pieces' need: a request is remembered, decaying by this factor per request (about a
    // minute for requests a few milliseconds apart); and a millisecond on top.
    static constexpr double kRequestDecay = 0.9999;
    static constexpr double kNeedMarginMs = 1.0;
    // Lateness is remembered per second, for this long, in stretches of this many seconds; the
    // largest lateness of the recent seconds counts, and so does, if more, a lateness that came
    // back in two or more of the stretches, until it has been gone for this many times the
    // longest gap between its comings.
    static constexpr long kMemorySeconds = 60;
    static constexpr long kStretchSeconds = 5;
    static constexpr long kRecentSeconds = 10;
    static constexpr double kHoldGaps = 1.5;
    static_assert(kMemorySeconds % kStretchSeconds == 0);

    // `startMs` within the latency range (the C interface refuses others); in the automatic mode
    // also the floor.
    TargetPolicy(double startMs, bool automatic, double outputRate);

    // The connection's thread. A new connection: possibly another sender.
    void resetLateness();
    // An arrival `lateSeconds` late against the sender's line, at `seconds`.
    void onArrival(double lateSeconds, double seconds);
    // How late arrivals have come, as the buffer has to cover it; in seconds (negative: not
    // known yet). For the feed's snapshot.
    double lateness() const;

    // The output's thread. The feed's latest snapshot.
    void update(const FeedFigures& feed);
    // A request of the output, without what fell due during a pause (the output's piece).
    void noteRequest(double pieceFrames);
    // An underrun: raises the target (automatic mode).
    void onUnderrun();
    // `outputFrames` played: the target may come down (automatic mode).
    void advance(uint32_t outputFrames);
    // The target in force, in the stream's frames: at least what the pieces need.
    double targetFrames() const;
    // The target as decided by the rules above, before the pieces' need, in ms.
    double ms() const { return ms_; }

  private:
    double pieceNeedFrames() const;
    double allowedMs() const;

    // The output's side.
    double ms_;
    double floorMs_;
    bool automatic_;
    double rate_;
    double inputPerMs_;
    double sinceRaiseFrames_ = 1e18;
    double largestRequest_ = 0;  // decays slowly, so one large request is remembered a while
    double arrivalFrames_ = 0;
    double latenessSeconds_ = -1;
    // The connection's side: the largest lateness of each of the last kMemorySeconds.
    std::array<double, kMemorySeconds> perSecond_{};
    long second_ = -1;
};

}  // namespace qw::receiver
