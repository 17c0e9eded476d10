#include "wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>

#include "phone_io.h"

namespace phone {

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBits = 16;
constexpr uint32_t kHeaderSize = 44;

void appendLe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void appendTag(Bytes& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

Bytes header(uint32_t dataSize) {
    Bytes h;
    appendTag(h, "RIFF");
    appendLe32(h, kHeaderSize - 8 + dataSize);
    appendTag(h, "WAVE");
    appendTag(h, "fmt ");
    appendLe32(h, 16);
    appendLe16(h, 1);  // PCM
    appendLe16(h, kChannels);
    appendLe32(h, kRate);
    appendLe32(h, kRate * kChannels * kBits / 8);
    appendLe16(h, kChannels * kBits / 8);
    appendLe16(h, kBits);
    appendTag(h, "data");
    appendLe32(h, dataSize);
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
    Bytes h = header(0);
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
    Bytes h = header(dataSize);
    writeAt(fd, h.data(), h.size(), 0);
}

}  // namespace phone
