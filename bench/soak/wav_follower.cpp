#include "wav_follower.h"

#include <fcntl.h>
#include <unistd.h>

WavFollower::~WavFollower() {
    if (fd >= 0) ::close(fd);
}

const std::vector<uint8_t>& WavFollower::newFrames() {
    buffer.clear();
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return buffer;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0 || static_cast<uint64_t>(end) <= offset) return buffer;
    const uint64_t whole = (static_cast<uint64_t>(end) - offset) / 4 * 4;
    buffer.resize(whole);
    size_t done = 0;
    while (done < whole) {
        const ssize_t n =
            ::pread(fd, buffer.data() + done, whole - done, static_cast<off_t>(offset + done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    buffer.resize(done / 4 * 4);
    offset += buffer.size();
    return buffer;
}
