#pragma once
// Reads the WAV file that the receiving app is still writing, as it grows: the 44-byte header
// first, then every complete 16-bit stereo frame once.

#include <cstdint>
#include <string>
#include <vector>

class WavFollower {
  public:
    explicit WavFollower(std::string file) : path(std::move(file)) {}
    ~WavFollower();
    WavFollower(const WavFollower&) = delete;
    WavFollower& operator=(const WavFollower&) = delete;

    // The frames appended since the last call (4 bytes each).
    const std::vector<uint8_t>& newFrames();

  private:
    std::string path;
    int fd = -1;
    uint64_t offset = 44;  // phone-app writes a plain 44-byte PCM header
    std::vector<uint8_t> buffer;
};
