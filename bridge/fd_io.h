#pragma once
// Blocking byte I/O on descriptors: exact reads and complete socket writes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Reads exactly `count` bytes from `fd`. A count of 0 gives an empty buffer without reading;
// a negative count, end of stream or a read error gives nullopt and drops what was read.
// Interrupted reads (EINTR) are retried. The buffer is allocated up front, so callers bound
// `count` before calling (frames from the phone: 8191 bytes, usbmuxd replies: 1 MiB).
std::optional<Bytes> readN(int fd, int64_t count);

// Reads exactly `count` bytes into `dst`; false on end of stream or error (EINTR is retried).
bool readExact(int fd, uint8_t* dst, size_t count);

// Writes all of `data` to the socket `fd`. Returns false as soon as a write returns zero or an
// error other than EINTR. Uses send() with MSG_NOSIGNAL (SO_NOSIGPIPE on Apple platforms), so a
// peer that has gone shows up as a failed write (EPIPE) and never raises SIGPIPE. `fd` must be a
// socket.
bool sendAll(int fd, std::span<const uint8_t> data);
