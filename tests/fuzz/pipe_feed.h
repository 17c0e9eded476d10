#pragma once
// Puts fuzz input into a pipe and closes the writing end, so the code under test reads it from a
// real descriptor and then meets end of stream.

#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Inputs up to this size fit a pipe's default buffer, so writing never blocks.
inline constexpr size_t kMaxPipeInput = 65536;

// The reading end, or -1 when the input is too large or the pipe fails.
inline int feedPipe(const uint8_t* data, size_t size) {
    if (size > kMaxPipeInput) return -1;
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fds[1], data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    return fds[0];
}
