#pragma once
// A small driver for the DNS-SD API (dns_sd.h: native on macOS, Avahi's compatibility library
// on Linux). Holds any number of running operations (browse, resolve, record query), waits on
// all their sockets at once and dispatches their replies, until a caller's condition holds or a
// deadline passes, so no lookup ever waits without bound. Operations that have answered enough
// are marked finished from their callbacks and released after the dispatch returns.

#include <dns_sd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class DnsSdSession {
  public:
    using Clock = std::chrono::steady_clock;

    // One running operation; its callbacks get a pointer to it as their context.
    struct Operation {
        void* owner = nullptr;  // the session's owner, for the callbacks
        DNSServiceRef ref = nullptr;
        size_t entry = 0;  // the caller's index of what this operation works on
        bool finished = false;
    };

    explicit DnsSdSession(void* owner);
    ~DnsSdSession();
    DnsSdSession(const DnsSdSession&) = delete;
    DnsSdSession& operator=(const DnsSdSession&) = delete;

    // A new operation for `entry`; the caller starts it with `start(&op->ref, op)` and the
    // session keeps it when that returns kDNSServiceErr_NoError. Returns whether it started.
    bool add(size_t entry, const std::function<DNSServiceErrorType(Operation*)>& start);

    // Dispatches replies until `done` holds (true), the deadline passes or nothing is left
    // running (false).
    bool runUntil(Clock::time_point deadline, const std::function<bool()>& done);

  private:
    void releaseFinished();

    void* owner_;
    std::vector<std::unique_ptr<Operation>> operations_;
};

// Turns off the Avahi compatibility library's warning on standard error (the bridge prints only
// to standard output). Call before any thread starts; does nothing on macOS.
void quietDnsSdLibrary();
