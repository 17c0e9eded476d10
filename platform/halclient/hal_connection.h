// The process's connection to the audio server for property calls: made on first use, made
// again after the server went away, one call at a time. With no server, calls fail at once.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/socket_io.h"

namespace halclient {

inline constexpr int kReplyTimeoutMs = 3000;

class HalConnection {
  public:
    static HalConnection& shared();

    // Stamps the request's sequence number, sends it and waits for the reply. False when no
    // server answers (none running, it went away, or it took longer than kReplyTimeoutMs).
    bool call(std::vector<uint8_t>& request, std::vector<uint8_t>& reply);

  private:
    std::mutex lock_;
    int fd_ = -1;
    std::string path_;
    uint32_t seq_ = 0;
};

// The next sequence number for a request on a connection of the caller's own.
uint32_t nextSequence();

}  // namespace halclient
