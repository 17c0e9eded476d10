#pragma once
// Test helpers: a connected UNIX stream socket pair and a writer that dribbles bytes into it.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

struct SocketPair {
    int a = -1;
    int b = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~SocketPair() {
        closeA();
        closeB();
    }
    void closeA() {
        if (a >= 0) ::close(a);
        a = -1;
    }
    void closeB() {
        if (b >= 0) ::close(b);
        b = -1;
    }
};

inline void writeAllTo(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Writes `bytes` in pieces of 1, 2, 3, ... 7 bytes with a short pause after each, so the reader
// sees them across many reads, then closes `fd` when `closeAfter` is set.
inline std::thread dribble(int fd, std::vector<uint8_t> bytes, bool closeAfter) {
    return std::thread([fd, bytes = std::move(bytes), closeAfter] {
        size_t pos = 0;
        size_t piece = 1;
        while (pos < bytes.size()) {
            size_t n = std::min(piece, bytes.size() - pos);
            writeAllTo(fd,
                       std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(pos + n)));
            pos += n;
            piece = piece % 7 + 1;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        if (closeAfter) ::close(fd);
    });
}
