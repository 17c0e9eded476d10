#include "bridge/statistics.h"

#include <chrono>
#include <thread>

#include "bridge/console.h"
#include "bridge/fixed_text.h"
#include "bridge/globals.h"

std::string statisticsLine(double gapMs, double writeMs, int64_t depth) {
    std::string line = "\u23F1 maxGap=";
    line += fixedText(gapMs, 1);
    line += "ms maxWrite=";
    line += fixedText(writeMs, 1);
    line += "ms qDepth=";
    line += std::to_string(depth);
    return line;
}

// Each maximum is taken and zeroed in one step, so a rise that lands while the line is being
// made counts towards the next line instead of being lost.
std::string takeStatisticsLine(CaptureSource& source, std::atomic<double>& maxWriteMs,
                               SendQueue& queue) {
    const double g = source.takeMaxGapMs();
    const double w = maxWriteMs.exchange(0.0, std::memory_order_relaxed);
    const int64_t d = queue.maxDepth.exchange(0, std::memory_order_relaxed);
    return statisticsLine(g, w, d);
}

void runStatistics(CaptureSource& source) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        printLine(takeStatisticsLine(source, cap.maxWriteMs, sendQ));
    }
}
