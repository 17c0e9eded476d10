#pragma once
// Blocking byte I/O on descriptors: exact reads and complete socket writes.

#include <sys/types.h>
#include <sys/uio.h>

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

// One write attempt, shaped like send(2) without the flags; returns the bytes taken or <= 0.
using SendFunction = ssize_t (*)(int fd, const void* data, size_t size);

// send() that never raises SIGPIPE: MSG_NOSIGNAL, or on Apple platforms plain send() on a socket
// that carries SO_NOSIGPIPE (see suppressSigpipe). A peer that has gone gives EPIPE.
ssize_t sendWithoutSignal(int fd, const void* data, size_t size);

// Makes writes on the socket `fd` report a gone peer as EPIPE rather than SIGPIPE where the
// platform needs a socket option for that (SO_NOSIGPIPE on Apple platforms; nothing elsewhere).
void suppressSigpipe(int fd);

// Writes all of `data` with `send`, continuing short writes and retrying EINTR. False as soon as
// a write returns zero or another error.
bool writeWhole(int fd, std::span<const uint8_t> data, SendFunction send = sendWithoutSignal);

// One gathering write attempt, shaped like writev(2); returns the bytes taken or <= 0.
using PartsSendFunction = ssize_t (*)(int fd, const iovec* parts, int count);

// sendmsg() of `parts` that never raises SIGPIPE, like sendWithoutSignal.
ssize_t sendPartsWithoutSignal(int fd, const iovec* parts, int count);

// Writes every byte of `parts` with `send`, in as few calls as the socket takes, continuing short
// writes (`parts` is advanced past what was written) and retrying EINTR. Returns the bytes
// written; fewer than the parts hold when a write returned zero or another error.
size_t writeAllParts(int fd, std::span<iovec> parts,
                     PartsSendFunction send = sendPartsWithoutSignal);

// Writes all of `data` to the socket `fd` (suppressSigpipe, then writeWhole), so a peer that has
// gone shows up as a failed write and never raises SIGPIPE. `fd` must be a socket.
bool sendAll(int fd, std::span<const uint8_t> data);
