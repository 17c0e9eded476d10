#pragma once
// Follows qwplay's sample-counting ramp through the 16-bit stream that reached the receiving
// app, and records every place where it does not go on by exactly one frame: frames missing,
// silence inserted, or frames repeated (the ramp going back).
//
// The bridge turns a float sample v into 16 bits as trunc(clamp(v * 32767)), so a ramp word
// m / 32768 arrives as a value that can stand for up to three words (0 comes from -1, 0 and 1).
// A frame is taken as "ramp frame n" only when both of its samples are exactly what frame n
// gives; where one frame fits several n, the next frame decides.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct RampGap {
    uint64_t index = 0;   // stream frame where the ramp resumed
    int64_t before = 0;   // last ramp number before the gap
    int64_t after = 0;    // ramp number where it resumed
    uint64_t silent = 0;  // frames of silence between them
    double seenAt = 0;    // when the resumed frame was read (soak clock, seconds)

    int64_t missing() const { return after > before ? after - before - 1 : 0; }
    bool repeated() const { return after <= before; }
};

class RampTracker {
  public:
    RampTracker();

    // Interleaved little-endian 16-bit stereo frames, in stream order.
    void feed(const uint8_t* data, size_t frames, double now);

    const std::vector<RampGap>& gaps() const { return gapList; }
    uint64_t frames() const { return index; }
    uint64_t rampFrames() const { return ramp; }
    uint64_t silentFrames() const { return silent; }
    uint64_t unreadableFrames() const { return unreadable; }
    std::optional<int64_t> first() const { return firstRamp; }
    std::optional<int64_t> last() const { return lastRamp; }

    // The 16-bit value the bridge sends for ramp word m (-32768..32767).
    static int16_t streamValue(int32_t m);

  private:
    bool matches(int64_t n, int16_t lo, int16_t hi) const;
    std::vector<int64_t> decode(int16_t lo, int16_t hi) const;
    void resumeAt(int64_t n, uint64_t atIndex, double now);
    void take(int16_t lo, int16_t hi, double now);

    std::vector<int16_t> forward;               // word + 32768 -> stream value
    std::vector<std::vector<int32_t>> inverse;  // stream value + 32768 -> words
    std::optional<int64_t> firstRamp;
    std::optional<int64_t> lastRamp;
    std::vector<int64_t> candidates;  // undecided position of the frame at candidateIndex
    uint64_t candidateIndex = 0;
    double candidateSeenAt = 0;
    uint64_t silentRun = 0;
    std::vector<RampGap> gapList;
    uint64_t index = 0, ramp = 0, silent = 0, unreadable = 0;
};
