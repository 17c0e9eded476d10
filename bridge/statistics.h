#pragma once
// Once a second: the worst callback gap, the worst frame write and the deepest send queue of
// the past second, as one line.

#include <atomic>
#include <cstdint>
#include <string>

#include "bridge/capture/capture_source.h"
#include "bridge/send_queue.h"

// "⏱ maxGap=<g>ms maxWrite=<w>ms qDepth=<d>", g and w with one decimal (halves to even, a
// point whatever the locale).
std::string statisticsLine(double gapMs, double writeMs, int64_t depth);

// Takes the three figures, each zeroed as it is read: the source's worst gap, the worst write
// (cap.maxWriteMs in the bridge) and the queue's deepest; returns the line.
std::string takeStatisticsLine(CaptureSource& source, std::atomic<double>& maxWriteMs,
                               SendQueue& queue);

// Thread body of the statistics reporter: sleeps one second, prints the line for `source`,
// cap.maxWriteMs and sendQ, forever.
[[noreturn]] void runStatistics(CaptureSource& source);
