#pragma once
// Follows one clock from a timeline of events: at each event, how many of the clock's frames
// have passed by then, against the local monotonic time. An event can come late (a busy
// machine, a stall, and then a burst of the ones held up) but never early, so the clock's line
// is the timeline's lower edge: each half second keeps only its least delayed event, and a
// straight line is fitted to those over the last minute, leaving out the ones well above it
// (and the first half second, while the road settles).
// A stall of up to a few hundred milliseconds leaves each half second's least delayed event
// where it was, so the rate does not move. A step in the timeline (frames lost or added, or a
// playback clock that paused: every event of a whole half second off the line by 10 ms or more,
// or four half seconds in a row off it by the same 1–10 ms) is taken as a new origin. A line
// that finds steps in three of eight half seconds is wrong (fitted across a pause at the very
// start, say): it is dropped, and the fit starts again.
// Never allocates; each half second's fit costs a few hundred operations.

#include <array>
#include <cstddef>
#include <cstdint>

namespace qw::receiver {

class TimelineFit {
  public:
    static constexpr double kBinSeconds = 0.5;
    static constexpr size_t kBins = 120;   // a minute of half seconds
    static constexpr size_t kMinBins = 4;  // before this many, no rate yet
    static constexpr double kStepSeconds = 0.010;
    // A smaller step must hold kSmallStepBins half seconds in a row, each off the line on one
    // side by kSmallStepSeconds (or four times the usual distance from it, if more), all within
    // kSmallStepSpread of each other, their later half no further than kSmallStepDrift from
    // their earlier half: lateness comes and goes, a step stays, a wrong line drifts away. A run
    // off the line that is still no step after kMostPendingBins restarts the fit.
    static constexpr double kSmallStepSeconds = 0.001;
    static constexpr double kSmallStepSpread = 0.001;
    static constexpr double kSmallStepDrift = 0.0004;
    static constexpr size_t kSmallStepBins = 4;
    static_assert(kSmallStepBins % 2 == 0, "a run is judged by its earlier and later halves");
    static constexpr size_t kMostPendingBins = 8;
    // More steps than this in the last kStepWindowBins half seconds: the line is wrong.
    static constexpr int kMostSteps = 2;
    static constexpr size_t kStepWindowBins = 8;

    explicit TimelineFit(double nominalRate) : nominal_(nominalRate) {}

    // Forgets everything (a new sender).
    void reset();
    // `frames` of the clock counted up to and including this event, at `seconds` of local
    // time. Returns how late the event came against the fitted line, in seconds (0 while
    // there is no line yet).
    double add(double frames, double seconds);

    bool valid() const { return valid_; }
    // The clock's measured rate over its nominal one (1 while not valid).
    double rateRatio() const { return valid_ ? 1.0 - slope_ : 1.0; }

  private:
    struct Bin {
        double t = 0;  // seconds since the first event
        double d = 0;  // delay against the nominal clock, seconds
    };

    long binAt(double seconds) const;
    // Files the half second just ended; false when the line is wrong and the fit must restart.
    bool closeBin();
    // How far off the line the half second is as a step of the timeline (0: not a step).
    double stepOf(double residual);
    // Takes `step` out of the timeline from the `bins` latest half seconds on.
    void takeStep(double step, size_t bins);
    void fit();

    double nominal_;
    bool started_ = false;
    double t0_ = 0, n0_ = 0;
    double offset_ = 0;  // the timeline's steps, taken out
    long binIndex_ = -1;
    Bin current_;
    std::array<Bin, kBins> bins_{};
    size_t count_ = 0, next_ = 0;
    uint32_t recentSteps_ = 0;  // one bit per half second, the latest lowest
    // Half seconds in a row off the line on one side by a small step's amount: left out of the
    // fit until it is settled whether they are a step; the latest few of their distances.
    size_t offRun_ = 0;
    std::array<double, kSmallStepBins> offRuns_{};
    bool valid_ = false;
    double slope_ = 0, intercept_ = 0;
    double typical_ = 0;  // the median distance of a half second from the line
};

}  // namespace qw::receiver
