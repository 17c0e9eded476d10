#include "common/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <limits>

#include "common/wire_format.h"

namespace qw {

namespace {

constexpr uint32_t kRate = qw::wire::kSampleRate;
constexpr uint16_t kChannels = qw::wire::kChannels;
constexpr uint16_t kBits = qw::wire::kBytesPerSample * 8;
constexpr uint32_t kHeaderSize = 44;

using Header = std::array<uint8_t, kHeaderSize>;

void put32(Header& h, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(Header& h, size_t at, uint16_t v) {
    h[at] = static_cast<uint8_t>(v);
    h[at + 1] = static_cast<uint8_t>(v >> 8);
}

void putTag(Header& h, size_t at, const char* tag) {
    for (size_t i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(tag[i]);
}

Header header(uint32_t dataSize) {
    Header h{};
    putTag(h, 0, "RIFF");
    put32(h, 4, kHeaderSize - 8 + dataSize);
    putTag(h, 8, "WAVE");
    putTag(h, 12, "fmt ");
    put32(h, 16, 16);
    put16(h, 20, 1);  // PCM
    put16(h, 22, kChannels);
    put32(h, 24, kRate);
    put32(h, 28, kRate * kChannels * kBits / 8);
    put16(h, 32, kChannels * kBits / 8);
    put16(h, 34, kBits);
    putTag(h, 36, "data");
    put32(h, 40, dataSize);
    return h;
}

bool writeAt(int fd, const uint8_t* data, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd, data, size, offset);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

WavWriter::~WavWriter() {
    finish();
    if (fd >= 0) ::close(fd);
}

bool WavWriter::open(const std::string& path) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    Header h = header(0);
    return writeAt(fd, h.data(), h.size(), 0);
}

void WavWriter::append(const uint8_t* data, size_t size) {
    if (fd < 0) return;
    // A RIFF file holds at most 4 GiB; beyond that the sound is no longer kept.
    const uint32_t room = std::numeric_limits<uint32_t>::max() - kHeaderSize - dataSize;
    if (size > room) size = room - room % 4;
    if (writeAt(fd, data, size, kHeaderSize + off_t{dataSize})) {
        dataSize += static_cast<uint32_t>(size);
    }
}

void WavWriter::finish() {
    if (fd < 0) return;
    Header h = header(dataSize);
    writeAt(fd, h.data(), h.size(), 0);
}

}  // namespace qw
