#pragma once
// Once a second: the worst callback gap, the worst frame write and the deepest send queue of
// the past second, as one line.

#include <cstdint>
#include <string>

// "⏱ maxGap=<g>ms maxWrite=<w>ms qDepth=<d>", g and w with one decimal (halves to even, a
// point whatever the locale).
std::string statisticsLine(double gapMs, double writeMs, int64_t depth);

// Reads all three figures of cap and sendQ, zeroes them, and returns the line.
std::string takeStatisticsLine();

// Thread body of the statistics reporter: sleeps one second, prints the line, forever.
[[noreturn]] void runStatistics();
