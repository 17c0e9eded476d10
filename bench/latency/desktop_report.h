#pragma once
// The Linux sound server's rows of qw-latency: tetherstream capturing the quillwave sink,
// beside the parec | socat pipeline of the same run.

#include <cstdio>
#include <vector>

#include "latency_bench.h"

void printDesktopReport(const std::vector<LatencyRun>& runs, std::FILE* out);
