// Reading a WAV file into memory as stereo 32-bit float frames: PCM 16, 24 and 32 bit, IEEE
// float 32 bit, plain or extensible headers, any channel count (mono is copied to both sides,
// beyond two channels the first two are kept).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qwplay {

struct WavAudio {
    double sampleRate = 0;
    std::vector<float> left;
    std::vector<float> right;
};

// Absent, with the reason in `error`, when the file cannot be read or is not such a WAV file.
std::optional<WavAudio> readWav(const std::string& path, std::string& error);
// The same from bytes already in memory.
std::optional<WavAudio> parseWav(const std::vector<uint8_t>& bytes, std::string& error);

// Converts to another rate (speexdsp, quality 5); the audio keeps its length in seconds.
WavAudio resample(const WavAudio& audio, double sampleRate);

}  // namespace qwplay
