#include "fixed_text.h"

#include <cmath>
#include <cstdio>

std::string fixedText(double value, int decimals) {
    char buf[400];  // enough for the largest double in fixed notation with a few decimals
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return "0";
    std::string text(buf, static_cast<size_t>(n));
    if (!std::isfinite(value) || decimals <= 0) return text;
    // The locale's decimal point (one or more bytes) sits between the integer digits and the
    // last `decimals` digits.
    const size_t fraction = text.size() - static_cast<size_t>(decimals);
    size_t point = text.find_first_not_of("-0123456789");
    if (point == std::string::npos || point > fraction) return text;
    return text.replace(point, fraction - point, ".");
}
