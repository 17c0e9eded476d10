// Plays numbered clicks into a device and records, on the server's own timeline, when the IO
// cycle that mixed each click ran.
#pragma once
#include <CoreAudio/AudioHardware.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qwprobe {

struct ClickPlan {
    uint32_t count = 120;
    double intervalMs = 50;
    float level = 0.5f;
};

struct PlayedClick {
    uint64_t number;
    double outputSampleTime;  // where the click sits on the device's output timeline
    int64_t mixedNs;          // host time (ns) of the IO cycle that mixed it; -1 if unknown
    int64_t renderedNs;       // host time (ns) when the player produced it
};

// Clicks carry their number in the right channel ((n mod 16384 + 1) / 32768, which the bridge
// turns into the 16-bit value n mod 16384) and `level` in the left channel, for one frame each.
// Returns false (with `error`) when the device cannot be played or captured.
bool playClicks(AudioObjectID device, const ClickPlan& plan, std::vector<PlayedClick>& clicks,
                std::string& error);

}  // namespace qwprobe
