#pragma once
// The latency tables (Markdown) and the raw figures (CSV, one latency per line) for the plot.

#include <cstdio>
#include <string>
#include <vector>

#include "latency_bench.h"

void printLatencyReport(const std::vector<LatencyRun>& runs, const LatencyOptions& options,
                        std::FILE* out);

// Columns: pipeline, buffer_frames, load, basis (device or player), latency_ms.
bool writeLatencyCsv(const std::vector<LatencyRun>& runs, const std::string& path);
