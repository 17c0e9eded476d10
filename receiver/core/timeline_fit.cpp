#include "timeline_fit.h"

#include <algorithm>
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
    Bin bin = current_;
    if (valid_) {
        const double residual = bin.d - (intercept_ + slope_ * bin.t);
        // A whole half second off the line: the timeline stepped (frames lost or added), it
        // did not bend. The step becomes part of the origin. A stall steps it twice (out and
        // back); steps in more half seconds in a row than that mean the line itself is wrong
        // (fitted across a pause at the very start, say).
        if (std::abs(residual) > kStepSeconds) {
            if (++stepsInARow_ > kMostStepsInARow) return false;
            offset_ += residual;
            bin.d -= residual;
        } else {
            stepsInARow_ = 0;
        }
    }
    bins_[next_] = bin;
    next_ = (next_ + 1) % kBins;
    count_ = std::min(count_ + 1, kBins);
    if (count_ >= kMinBins) fit();
    return true;
}

void TimelineFit::fit() {
    std::array<bool, kBins> use{};
    std::array<double, kBins> spread{};
    std::fill(use.begin(), use.begin() + static_cast<long>(count_), true);
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
        const double limit = std::max(kRejectSeconds, kRejectSpread * spread[used / 2]);
        for (size_t i = 0; i < count_; ++i) {
            use[i] = bins_[i].d - line.intercept - line.slope * bins_[i].t <= limit;
        }
    }
    if (!line.ok) return;
    slope_ = line.slope;
    intercept_ = line.intercept;
    valid_ = true;
}

}  // namespace qw::receiver
