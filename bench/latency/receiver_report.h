#pragma once
// The receiver pipeline's tables: the whole road into PulseAudio, and the capture path's cost.

#include <cstdio>
#include <vector>

#include "latency_bench.h"

void printReceiverReport(const std::vector<LatencyRun>& runs, std::FILE* out);
