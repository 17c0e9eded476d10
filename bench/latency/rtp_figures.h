#pragma once
// What a pulse-rtp row records besides its click latencies (LatencyRun; its bufferFrames holds
// module-rtp-recv's latency_msec: 0 for its default, -1 for the capture path alone).

#include <string>

#include "tone_check.h"

struct RtpFigures {
    std::string setting;      // "capture path only", "defaults" or "latency_msec=N"
    ToneDropouts tone;        // dropouts of the tone under the clicks
    bool renumbered = false;  // the clicks' numbers were read back from the recording
    int underruns = -1;       // module-rtp-recv's ends of underrun in its log during the clicks
    // Its own view of its buffer ("write index deviates by"), logged every 5 s: the first and
    // the last value during the clicks, in ms; negative when none was logged.
    double bufferFirstMs = -1, bufferLastMs = -1;
    double targetMs = -1;       // the target it logs with them
    double settledAfterS = -1;  // how long its buffer took to come near the target; -1: never
    std::string aborted;        // the daemon's last words, if it aborted during the row
};
