// The rule a device's zero time stamps keep: within one seed, each stamp lies a whole number of
// zero time stamp periods after the one before, never before it, in sample time and host time
// alike. A new seed begins a new timeline, with no link to the old one. Real-time safe.
#pragma once
#include <CoreAudio/AudioServerPlugIn.h>

#include <cmath>

namespace audioserver {

struct TimeStampViolation {
    UInt64 seed;
    Float64 previousSample, sample;
    UInt64 previousHost, host;
};

class TimeStampCheck {
  public:
    explicit TimeStampCheck(UInt32 period = 0) : period_(period) {}
    void setPeriod(UInt32 period) { period_ = period; }

    // Takes the next stamp; false (with the two stamps in `violation`) if it breaks the rule.
    bool take(Float64 sample, UInt64 host, UInt64 seed, TimeStampViolation& violation) {
        const bool sameTimeline = known_ && seed == seed_;
        bool ok = true;
        if (sameTimeline && period_ > 0) {  // a period of 0 is not checked
            const Float64 periods = (sample - sample_) / period_;
            ok = periods >= 0 && periods == std::floor(periods) && host >= host_ &&
                 (periods > 0) == (host > host_);
            if (!ok) violation = {seed, sample_, sample, host_, host};
        }
        known_ = true;
        seed_ = seed;
        sample_ = sample;
        host_ = host;
        return ok;
    }

  private:
    UInt32 period_;
    bool known_ = false;
    UInt64 seed_ = 0;
    Float64 sample_ = 0;
    UInt64 host_ = 0;
};

}  // namespace audioserver
