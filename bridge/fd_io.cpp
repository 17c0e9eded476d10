#include "fd_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

bool readExact(int fd, uint8_t* dst, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd, dst + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<Bytes> readN(int fd, int64_t count) {
    if (count < 0) return std::nullopt;
    Bytes buffer(static_cast<size_t>(count));
    if (!readExact(fd, buffer.data(), buffer.size())) return std::nullopt;
    return buffer;
}

bool sendAll(int fd, std::span<const uint8_t> data) {
#if defined(__APPLE__)
    // No MSG_NOSIGNAL here: the socket option does the same job for this descriptor.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    constexpr int kFlags = 0;
#else
    constexpr int kFlags = MSG_NOSIGNAL;
#endif
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, kFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
