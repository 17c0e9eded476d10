#include "hal_connection.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "ipc/protocol.h"

namespace halclient {

HalConnection& HalConnection::shared() {
    static HalConnection* connection = new HalConnection();  // lives as long as the process
    return *connection;
}

uint32_t nextSequence() {
    static std::atomic<uint32_t> seq{1};
    return seq.fetch_add(1, std::memory_order_relaxed);
}

bool HalConnection::call(std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string path = qwipc::serverSocketPath();
    // Between calls nothing should arrive; a readable connection is one the server has left.
    if (fd_ >= 0 && (path != path_ || qwipc::waitReadable(fd_, 0))) {
        close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        fd_ = qwipc::connectTo(path);
        path_ = path;
        if (fd_ < 0) return false;
    }
    qwipc::MsgHeader hdr{};
    std::memcpy(&hdr, request.data(), sizeof hdr);
    hdr.seq = ++seq_;
    std::memcpy(request.data(), &hdr, sizeof hdr);
    reply.resize(qwipc::kMaxMessageBytes);
    const long n = qwipc::roundTrip(fd_, request.data(), request.size(), reply.data(), reply.size(),
                                    kReplyTimeoutMs);
    if (n > 0) {
        reply.resize(static_cast<size_t>(n));
        return true;
    }
    close(fd_);
    fd_ = -1;
    return false;
}

}  // namespace halclient
