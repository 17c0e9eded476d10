#include "bridge/dns_sd_session.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>

void quietDnsSdLibrary() {
#ifndef __APPLE__
    if (std::getenv("AVAHI_COMPAT_NOWARN") == nullptr) ::setenv("AVAHI_COMPAT_NOWARN", "1", 0);
#endif
}

DnsSdSession::DnsSdSession(void* owner) : owner_(owner) {
    quietDnsSdLibrary();
}

DnsSdSession::~DnsSdSession() {
    for (auto& op : operations_) DNSServiceRefDeallocate(op->ref);
}

bool DnsSdSession::add(size_t entry, const std::function<DNSServiceErrorType(Operation*)>& start) {
    auto op = std::make_unique<Operation>();
    op->owner = owner_;
    op->entry = entry;
    if (start(op.get()) != kDNSServiceErr_NoError || op->ref == nullptr) return false;
    operations_.push_back(std::move(op));
    return true;
}

void DnsSdSession::releaseFinished() {
    auto finished = [](const std::unique_ptr<Operation>& op) {
        if (op->finished) DNSServiceRefDeallocate(op->ref);
        return op->finished;
    };
    operations_.erase(std::remove_if(operations_.begin(), operations_.end(), finished),
                      operations_.end());
}

bool DnsSdSession::runUntil(Clock::time_point deadline, const std::function<bool()>& done) {
    for (;;) {
        releaseFinished();
        if (done()) return true;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || operations_.empty()) return false;
        std::vector<pollfd> fds;
        for (const auto& op : operations_) fds.push_back({DNSServiceRefSockFD(op->ref), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), static_cast<int>(left)) <= 0) continue;
        // Callbacks may add operations; only the ones polled are looked at here.
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Operation* op = operations_[i].get();
            if (DNSServiceProcessResult(op->ref) != kDNSServiceErr_NoError) op->finished = true;
        }
    }
}
