#pragma once
// Small helpers shared by the phone-side tools (phone-app, phone-usbmuxd). Deliberately
// independent of the bridge's own code, so that the tools check the bridge's bytes instead of
// mirroring its mistakes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.h"

namespace phone {

using Bytes = std::vector<uint8_t>;

inline uint32_t loadLe32(const uint8_t* p) {
    return qw::getLe32(p);
}

inline void appendLe32(Bytes& out, uint32_t v) {
    uint8_t field[4];
    qw::putLe32(field, v);
    out.insert(out.end(), field, field + 4);
}

// Prints one line on standard output with a single write, so lines of several processes
// sharing a pipe never interleave.
void say(std::string_view line);

// Milliseconds on the monotonic clock.
int64_t nowMs();

// Parses a whole decimal number in [min, max]; nullopt otherwise.
std::optional<int64_t> parseNumber(std::string_view text, int64_t min, int64_t max);

// Writes all of `data` to a blocking socket without raising SIGPIPE; false on failure.
bool sendFully(int fd, const uint8_t* data, size_t size);

// A listening IPv4 TCP socket on host:port (SO_REUSEADDR), or -1.
int listenTcp(const std::string& host, uint16_t port);

// A connected IPv4 TCP socket to host:port, or -1 (blocking connect).
int connectTcp(const std::string& host, uint16_t port);

void setNonBlocking(int fd);

}  // namespace phone
