#include "bridge/fd_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

ssize_t sendPartsWithoutSignal(int fd, const iovec* parts, int count) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
#if defined(__APPLE__)
    return ::sendmsg(fd, &message, 0);  // the socket carries SO_NOSIGPIPE (suppressSigpipe)
#else
    return ::sendmsg(fd, &message, MSG_NOSIGNAL);
#endif
}

size_t writeAllParts(int fd, std::span<iovec> parts, PartsSendFunction send) {
    size_t written = 0;
    size_t next = 0;  // first part not yet written in full
    while (next < parts.size()) {
        if (parts[next].iov_len == 0) {
            ++next;
            continue;
        }
        const ssize_t n = send(fd, &parts[next], static_cast<int>(parts.size() - next));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return written;
        written += static_cast<size_t>(n);
        for (auto left = static_cast<size_t>(n); left > 0 && next < parts.size();) {
            const size_t step = std::min(left, parts[next].iov_len);
            parts[next].iov_base = static_cast<uint8_t*>(parts[next].iov_base) + step;
            parts[next].iov_len -= step;
            left -= step;
            if (parts[next].iov_len == 0) ++next;
        }
    }
    return written;
}

bool sendAll(int fd, std::span<const uint8_t> data) {
    suppressSigpipe(fd);
    return writeWhole(fd, data);
}
