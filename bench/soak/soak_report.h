#pragma once
// Judges a soak run against its bounds and prints the tables.
//
// Bounds:
// - every link-losing fault: exactly one loss line and one connected line, and the connected
//   line within one retry interval (0.5 s, plus slack for a loaded machine) of the far side
//   being ready; every other fault: no loss line at all;
// - the bridge's descriptors, threads and resident memory grow by no more than a small bound
//   after warm-up, and the bridge is still running at the end;
// - the ramp arrives whole: every gap lies at a connection that a fault ended, in a player
//   restart or a load window, or behind a full queue; nothing is repeated or unreadable, and
//   the app never saw a malformed frame.

#include <cstdio>

#include "soak_data.h"

// Prints the tables to `out` (and the timeline to options.timelinePath, when set). True when
// every bound holds.
bool reportSoak(const SoakData& data, std::FILE* out);
