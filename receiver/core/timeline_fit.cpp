#include "timeline_fit.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace qw::receiver {

namespace {

// A half second whose least delayed event lies this far above the line (or four times the
// usual distance, if more) is left out: it held no event on time.
constexpr double kRejectSeconds = 0.0003;
constexpr double kRejectSpread = 4.0;
constexpr int kPasses = 3;

struct Line {
    double slope = 0, intercept = 0;
    bool ok = false;
};

template <typename Bins, typename Use>
Line leastSquares(const Bins& bins, size_t count, const Use& use) {
    double n = 0, st = 0, sd = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!use[i]) continue;
        n += 1;
        st += bins[i].t;
        sd += bins[i].d;
    }
    if (n < 2) return {};
    const double mt = st / n, md = sd / n;
    double stt = 0, sxy = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!use[i]) continue;
        stt += (bins[i].t - mt) * (bins[i].t - mt);
        sxy += (bins[i].t - mt) * (bins[i].d - md);
    }
    if (stt <= 0) return {};
    Line line;
    line.slope = sxy / stt;
    line.intercept = md - line.slope * mt;
    line.ok = true;
    return line;
}

}  // namespace

void TimelineFit::reset() {
    *this = TimelineFit(nominal_);
}

double TimelineFit::add(double frames, double seconds) {
    // A line that puts every half second off it is wrong, not the timeline: start again.
    if (started_ && binAt(seconds) != binIndex_ && !closeBin()) reset();
    if (!started_) {
        started_ = true;
        t0_ = seconds;
        n0_ = frames;
    }
    const double t = seconds - t0_;
    const long index = binAt(seconds);
    const bool newBin = index != binIndex_;
    const double d = t - (frames - n0_) / nominal_ - offset_;
    if (newBin || d < current_.d) current_ = {t, d};
    binIndex_ = index;
    return valid_ ? d - (intercept_ + slope_ * t) : 0.0;
}

long TimelineFit::binAt(double seconds) const {
    return static_cast<long>(std::floor((seconds - t0_) / kBinSeconds));
}

bool TimelineFit::closeBin() {
    // The first half second is left out: a road settles in its first moments (a sender's first
    // frame may come a whole piece ahead of the steady ones), and that one early event would
    // hold the lower edge, and tilt the line, for a minute.
    if (binIndex_ == 0) return true;
    Bin bin = current_;
    bins_[next_] = bin;
    next_ = (next_ + 1) % kBins;
    count_ = std::min(count_ + 1, kBins);
    if (valid_) {
        const double step = stepOf(bin.d - (intercept_ + slope_ * bin.t));
        recentSteps_ = (recentSteps_ << 1 | (step != 0 ? 1u : 0u)) & ((1u << kStepWindowBins) - 1);
        // Steps that keep coming, or a run off the line that is no step either: the line is
        // wrong, or was fitted before the timeline stepped and too briefly to tell how far.
        if (std::popcount(recentSteps_) > kMostSteps || offRun_ >= kMostPendingBins) return false;
        if (step != 0) {
            takeStep(step, std::max<size_t>(offRun_, 1));  // a small step's whole run
            offRun_ = 0;
        }
    }
    if (count_ >= kMinBins) fit();
    return true;
}

// A whole half second 10 ms or more off the line: the timeline stepped (frames lost or added);
// it did not bend. A stall steps it twice (out and back). Off by less, it is a step once the
// latest kSmallStepBins half seconds of a run on one side all sit at the same distance; a run
// that finds none within kMostPendingBins was lateness after all, or a line that was off.
double TimelineFit::stepOf(double residual) {
    if (std::abs(residual) > kStepSeconds) {
        offRun_ = 0;
        return residual;
    }
    const bool off = std::abs(residual) > std::max(kSmallStepSeconds, kRejectSpread * typical_);
    if (!off || (offRun_ > 0 && (residual > 0) != (offRuns_[0] > 0))) {
        offRun_ = 0;
    }
    if (!off) return 0;
    offRuns_[offRun_ % kSmallStepBins] = residual;
    if (++offRun_ < kSmallStepBins) return 0;
    // The latest few, oldest first: level (a line that is off drifts away from them instead)
    // and close together.
    constexpr size_t half = kSmallStepBins / 2;
    double earlier = 0, later = 0;
    for (size_t i = 0; i < kSmallStepBins; ++i) {
        (i < half ? earlier : later) += offRuns_[(offRun_ + i) % kSmallStepBins];
    }
    const auto [low, high] = std::minmax_element(offRuns_.begin(), offRuns_.end());
    const double drift = (later - earlier) / half;
    if (*high - *low > kSmallStepSpread || std::abs(drift) > kSmallStepDrift) return 0;
    return (earlier + later) / kSmallStepBins;
}

void TimelineFit::takeStep(double step, size_t bins) {
    offset_ += step;
    for (size_t i = 1; i <= std::min(bins, count_); ++i)
        bins_[(next_ + kBins - i) % kBins].d -= step;
}

void TimelineFit::fit() {
    std::array<bool, kBins> use{};
    std::array<double, kBins> spread{};
    std::array<bool, kBins> pending{};  // may be a step on its way: left out until settled
    for (size_t k = 0; k < offRun_; ++k) pending[(next_ + kBins - 1 - k) % kBins] = true;
    for (size_t i = 0; i < count_; ++i) use[i] = !pending[i];
    Line line;
    for (int pass = 0; pass < kPasses; ++pass) {
        const Line next = leastSquares(bins_, count_, use);
        if (!next.ok) break;
        line = next;
        size_t used = 0;
        for (size_t i = 0; i < count_; ++i) {
            if (use[i])
                spread[used++] = std::abs(bins_[i].d - line.intercept - line.slope * bins_[i].t);
        }
        std::nth_element(spread.begin(), spread.begin() + static_cast<long>(used / 2),
                         spread.begin() + static_cast<long>(used));
        typical_ = spread[used / 2];
        const double limit = std::max(kRejectSeconds, kRejectSpread * typical_);
        for (size_t i = 0; i < count_; ++i) {
            use[i] = !pending[i] && bins_[i].d - line.intercept - line.slope * bins_[i].t <= limit;
        }
    }
    if (!line.ok) return;
    slope_ = line.slope;
    intercept_ = line.intercept;
    valid_ = true;
}

}  // namespace qw::receiver
