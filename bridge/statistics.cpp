#include "statistics.h"

#include <charconv>
#include <chrono>
#include <thread>

#include "console.h"
#include "globals.h"

namespace {

// What "%.1f" gives, in the C locale: to_chars rounds the exact binary value, an exact half
// to the even digit, and never looks at the locale.
void appendOneDecimal(std::string& out, double value) {
    char buf[400];  // enough for the largest double in fixed notation
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    if (ec == std::errc()) out.append(buf, end);
}

}  // namespace

std::string statisticsLine(double gapMs, double writeMs, int64_t depth) {
    std::string line = "\u23F1 maxGap=";
    appendOneDecimal(line, gapMs);
    line += "ms maxWrite=";
    appendOneDecimal(line, writeMs);
    line += "ms qDepth=";
    line += std::to_string(depth);
    return line;
}

// Each maximum is taken and zeroed in one step, so a rise that lands while the line is being
// made counts towards the next line instead of being lost.
std::string takeStatisticsLine() {
    const double g = cap.maxGapMs.exchange(0.0, std::memory_order_relaxed);
    const double w = cap.maxWriteMs.exchange(0.0, std::memory_order_relaxed);
    const int64_t d = sendQ.maxDepth.exchange(0, std::memory_order_relaxed);
    return statisticsLine(g, w, d);
}

void runStatistics() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        printLine(takeStatisticsLine());
    }
}
