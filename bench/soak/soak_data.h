#pragma once
// What one soak run observed: the options it ran with, the faults it injected and when, the
// bridge's lines, the receiving app's connections, the ramp as it arrived, and the bridge's
// descriptors, threads and memory. Times are seconds on the soak's monotonic clock.

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"
#include "proc_sampler.h"
#include "ramp_tracker.h"

struct SoakOptions {
    double seconds = 600;
    bool shortRun = false;
    std::string buildDir;
    std::string timelinePath;  // per-second statistics with the fault windows, when set
};

struct StatsLine {
    double at = 0;
    double gapMs = 0;
    double writeMs = 0;
    int64_t depth = 0;
};

struct FaultRecord {
    FaultKind kind = FaultKind::appClose;
    double injectAt = 0;
    double farReadyAt = -1;   // the far side could take a connection again
    double connectedAt = -1;  // the bridge's connected line after the loss
    double audioBackAt = -1;  // the first new audio reached the app after that
    double recoveredAt = -1;  // link faults: connected; others: the fault was lifted
    double endAt = -1;        // the fault's handling was over
    bool timedOut = false;
};

struct SoakData {
    SoakOptions options;
    std::string setupError;  // set when the processes could not be brought up
    double runStart = 0, runEnd = 0, warmUpEnd = 0;
    std::vector<FaultRecord> faults;
    std::vector<double> lossLines;
    std::vector<double> connectedLines;
    std::vector<StatsLine> stats;
    std::vector<uint64_t> connectionBoundaries;  // stream frame where each new connection began
    int64_t appBadFrames = 0;      // framing errors the app found in the bridge's stream
    int64_t muxMalformed = 0;      // malformed requests the multiplexing service saw
    bool bridgeAlive = false;      // the bridge was still running at the end
    bool bridgeSanitized = false;  // built with ASan or TSan: its resident size is not judged
    std::vector<std::string> serverViolations;  // the audio server's VIOLATION lines
    std::vector<ProcSample> samples;
    RampTracker ramp;
};
