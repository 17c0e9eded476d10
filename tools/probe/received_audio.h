// Checks on what the receiving app wrote: the 16-bit stereo WAV it records, compared with the
// test signals played into the device (sample-counting ramp, sine), and click latencies.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qwprobe {

struct Pcm16 {
    uint32_t sampleRate = 0;
    std::vector<int16_t> left;
    std::vector<int16_t> right;
};

// A 16-bit PCM stereo WAV as written by the receiving app; absent (with `error`) otherwise.
std::optional<Pcm16> readPcm16Wav(const std::string& path, std::string& error);

// The ramp as it should arrive: each 32-bit float sample mapped to 16 bits by the bridge
// (x 32767, clamped, truncated), so within 1 of value x 32767. A frame continues the sequence
// when it is within 1 LSB of the next number; a jump is taken only where a number fits exactly
// and the frame after it continues from there.
struct RampCheck {
    uint64_t sampleFramesReceived = 0;  // every sample frame in the recording
    uint64_t rampFrames = 0;            // frames that are the ramp frame expected at that point
    std::optional<uint64_t> first;      // ramp number of the first and last ramp frame seen
    std::optional<uint64_t> last;
    uint64_t lost = 0;      // ramp numbers skipped between first and last
    uint64_t repeated = 0;  // ramp numbers that came again (or went backwards)
    uint64_t foreign = 0;   // frames inside the ramp's span that are not ramp frames
    uint64_t breaks = 0;    // places where the sequence did not continue by one
    uint64_t inexact = 0;   // ramp frames within 1 LSB but not equal to the bridge's mapping
};
RampCheck checkRamp(const Pcm16& audio);

// A sine that was played at `frequencyHz`: found where the left channel is above a small level,
// with `skipSeconds` left out at each end (start-up transients).
struct SineCheck {
    double seconds = 0;            // length of the part analysed
    double measuredFrequency = 0;  // from zero crossings
    double amplitude = 0;          // fitted, full scale 1.0
    double snrDb = 0;              // fitted sine against everything else
};
std::optional<SineCheck> checkSine(const Pcm16& audio, double frequencyHz, double skipSeconds);

// Click latency: clicks as the player handed them (number, host time in ns of the IO cycle
// that mixed it) and onsets as the receiving app saw them (host time, code = click number).
struct Click {
    uint64_t number;
    int64_t mixedNs;
};
struct Onset {
    int64_t arrivedNs;
    int64_t code;
};
struct LatencyStats {
    size_t matched = 0;
    size_t unmatched = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double minMs = 0;
    double maxMs = 0;
};
LatencyStats clickLatency(const std::vector<Click>& clicks, const std::vector<Onset>& onsets);

// Lines "click N mixed NS ..." and "onset NS code C" from text.
std::vector<Click> parseClicks(const std::string& text);
std::vector<Onset> parseOnsets(const std::string& text);

}  // namespace qwprobe
