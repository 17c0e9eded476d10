#pragma once
// The network side of qwreceiver: listens on TCP, serves one connection at a time and lets a
// new connection replace the current one at once (after a half-open loss the bridge's next
// connection must win). Feeds every byte to the receiver; sends the receiver's report back once
// a second as a report frame; prints the figures once a second.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "allow_list.h"
#include "quillwave_receiver.h"

namespace qwr {

class ConnectionServer {
  public:
    // `extraFigures` adds the output's own figures to the status line.
    ConnectionServer(qw_receiver* receiver, std::function<std::string()> extraFigures);
    ~ConnectionServer();

    // False after printing one line with the reason (the caller exits non-zero).
    bool listen(const std::string& address, uint16_t port);
    // Accepts only peers the list permits; others are closed at once, the current connection
    // untouched. The default list is open.
    void allowOnly(AllowList list) { allow_ = std::move(list); }
    // Serves until `keepGoing` returns false (checked at least every 100 ms).
    void run(const std::function<bool()>& keepGoing);

  private:
    void accept();
    void tellRefusals();
    void endConnection(const char* why);
    void readSome();
    void flushOut();
    void everySecond();

    qw_receiver* receiver_;
    std::function<std::string()> extraFigures_;
    int listenFd_ = -1;
    int fd_ = -1;
    uint64_t connections_ = 0;
    uint64_t replaced_ = 0;
    AllowList allow_;
    RefusalLog refusals_;
    std::vector<uint8_t> out_;  // report frames not yet taken by the socket
};

}  // namespace qwr
