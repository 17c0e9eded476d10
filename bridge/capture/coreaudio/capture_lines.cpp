#include "bridge/capture/coreaudio/capture_lines.h"

#include <cmath>

#include "bridge/fixed_text.h"

std::string rateText(double rate) {
    return fixedText(std::trunc(rate), 0);
}

std::string deviceFoundLine(uint32_t id) {
    return "Found QWV device (id " + std::to_string(id) + ").";
}

std::string captureLine(double rate, uint32_t channels) {
    return "AUHAL capturing QWV at " + rateText(rate) + " Hz, hw ch=" + std::to_string(channels) +
           ", 256-frame buffer \u2014 set Mac output to QWV and play.";
}

std::string deviceRateLine(double rate) {
    return "device rate now " + rateText(rate) + " Hz \u2014 " +
           (rate == 48000.0 ? "no conversion" : "converting to 48000 Hz");
}
