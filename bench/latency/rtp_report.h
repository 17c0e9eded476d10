#pragma once
// The pulse-rtp table (Markdown): click latencies, the capture path's own share, and dropouts.

#include <cstdio>
#include <vector>

#include "latency_bench.h"

void printRtpReport(const std::vector<LatencyRun>& runs, const std::vector<RtpFigures>& figures,
                    std::FILE* out);
