#pragma once
// Follows one clock from a timeline of events: at each event, how many of the clock's frames
// have passed by then, against the local monotonic time. An event can come late (a busy
// machine, a stall, and then a burst of the ones held up) but never early, so the clock's line
// is the timeline's lower edge: each half second keeps only its least delayed event, and a
// straight line is fitted to those over the last minute, leaving out the ones well above it.
// A stall of up to a few hundred milliseconds leaves each half second's least delayed event
// where it was, so the rate does not move. A step in the timeline (frames lost or added: every
// event of a whole half second off the line by 10 ms or more) is taken as a new origin; a line
// that finds a step in three half seconds in a row is dropped, and the fit starts again.
// Never allocates; each half second's fit costs a few hundred operations.

#include <array>
#include <cstddef>

namespace qw::receiver {

class TimelineFit {
  public:
    static constexpr double kBinSeconds = 0.5;
    static constexpr size_t kBins = 120;   // a minute of half seconds
    static constexpr size_t kMinBins = 4;  // before this many, no rate yet
    static constexpr double kStepSeconds = 0.010;
    static constexpr int kMostStepsInARow = 2;

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
    void fit();

    double nominal_;
    bool started_ = false;
    double t0_ = 0, n0_ = 0;
    double offset_ = 0;  // the timeline's steps, taken out
    long binIndex_ = -1;
    Bin current_;
    std::array<Bin, kBins> bins_{};
    size_t count_ = 0, next_ = 0;
    int stepsInARow_ = 0;
    bool valid_ = false;
    double slope_ = 0, intercept_ = 0;
};

}  // namespace qw::receiver
