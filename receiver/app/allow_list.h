#pragma once
// Which peers qwreceiver accepts. An empty list accepts every IPv4 peer (the default); entries
// given with --allow ADDR[/BITS] restrict it to those networks. Refused connections are counted
// and told at most once a second, so a host knocking in a loop cannot flood the log.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qwr {

// One IPv4 network, address and mask in host byte order.
struct AddressRange {
    uint32_t network = 0;
    uint32_t mask = 0;
};

// "10.0.0.7" (one host) or "10.0.0.0/24" (bits 0..32); host bits under the mask are cleared.
// nullopt for anything else.
std::optional<AddressRange> parseAddressRange(std::string_view text);

class AllowList {
  public:
    void add(AddressRange range) { ranges_.push_back(range); }
    bool open() const { return ranges_.empty(); }
    bool permits(const in_addr& peer) const;

  private:
    std::vector<AddressRange> ranges_;
};

// Counts refused connections; hands out a line about them at most once a second.
class RefusalLog {
  public:
    void refused(const std::string& host);
    // The line due at `nowMs` (monotonic milliseconds), if any refusal is untold and the last
    // line is at least a second old: "refused N connection(s) not on the allow-list (last from
    // HOST)".
    std::optional<std::string> due(int64_t nowMs);

  private:
    uint64_t untold_ = 0;
    std::string lastHost_;
    std::optional<int64_t> lastToldMs_;
};

}  // namespace qwr
