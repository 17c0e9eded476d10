#include "bridge/fixed_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>

std::string fixedText(double value, int decimals) {
    char buf[400];  // enough for the largest double in fixed notation with a few decimals
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return "0";
    const size_t length = static_cast<size_t>(n);
    if (!std::isfinite(value) || decimals <= 0 || static_cast<size_t>(decimals) >= length) {
        return std::string(buf, length);
    }
    // The locale's decimal point (one or more bytes) sits between the integer digits and the
    // last `decimals` digits: it becomes one '.'.
    const size_t fraction = length - static_cast<size_t>(decimals);
    const size_t point = std::strspn(buf, "-0123456789");
    if (point >= length || point > fraction) return std::string(buf, length);
    buf[point] = '.';
    std::memmove(buf + point + 1, buf + fraction, static_cast<size_t>(decimals));
    return std::string(buf, point + 1 + static_cast<size_t>(decimals));
}
