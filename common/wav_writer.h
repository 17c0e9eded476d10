#pragma once
// Writes 48000 Hz, 16-bit, stereo PCM (the stream's format) to a WAV file. The header's sizes are
// brought up to date by finish(), which may be called any number of times (the file stays valid
// after each call).

#include <cstddef>
#include <cstdint>
#include <string>

namespace qw {

class WavWriter {
  public:
    WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    ~WavWriter();

    bool open(const std::string& path);
    void append(const uint8_t* data, size_t size);
    void finish();
    uint32_t dataBytes() const { return dataSize; }

  private:
    int fd = -1;
    uint32_t dataSize = 0;
};

}  // namespace qw
