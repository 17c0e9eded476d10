#include "report_text.h"

#include <cmath>
#include <cstdio>

namespace qw::receiver {

namespace {

// One decimal, without a trailing ".0" ("10", "4.5").
std::string shortMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::round(ms * 10) / 10);
    std::string s = text;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

}  // namespace

std::string reportText(const qw_receiver_figures& f) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "buffer %.1f/%s ms \u00b7 drift %+.0f ppm \u00b7 underruns %llu \u00b7 overruns %llu",
        f.buffer_ms, shortMs(f.target_ms).c_str(), std::round(f.drift_ppm),
        static_cast<unsigned long long>(f.underruns), static_cast<unsigned long long>(f.overruns));
    return text;
}

}  // namespace qw::receiver
