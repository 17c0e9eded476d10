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

ssize_t sendWithoutSignal(int fd, const void* data, size_t size) {
#if defined(__APPLE__)
    return ::send(fd, data, size, 0);  // the socket carries SO_NOSIGPIPE (suppressSigpipe)
#else
    return ::send(fd, data, size, MSG_NOSIGNAL);
#endif
}

void suppressSigpipe([[maybe_unused]] int fd) {
#if defined(__APPLE__)
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

bool writeWhole(int fd, std::span<const uint8_t> data, SendFunction send) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool sendAll(int fd, std::span<const uint8_t> data) {
    suppressSigpipe(fd);
    return writeWhole(fd, data);
}
