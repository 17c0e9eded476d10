#pragma once
// Finding receivers (qwreceiver) on the local network: they announce themselves as DNS-SD
// services of type _quillwave._tcp. Names, host names and addresses come from the network and
// are untrusted; everything printed from them is made terminal-safe first.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/link_down.h"

struct LinkTarget;

inline constexpr const char* kReceiverServiceType = "_quillwave._tcp";
// How long --find listens for announcements.
inline constexpr std::chrono::milliseconds kFindWindow{2000};
// The bound on one resolve of a receiver's name, short enough that a failed attempt, resolve
// included, still fits the link supervisor's 0.5 s retry rhythm.
inline constexpr std::chrono::milliseconds kResolveLimit{400};

struct FoundReceiver {
    std::string name;
    std::string host;     // the host name it announced, without the final dot ("" if unresolved)
    std::string address;  // dotted IPv4 ("" if unresolved)
    uint16_t port = 0;
};

// The receivers announced within `window`, each resolved as far as it got, sorted by name.
// nullopt when the DNS-SD service cannot be used at all (no avahi-daemon on Linux).
std::optional<std::vector<FoundReceiver>> findReceivers(std::chrono::milliseconds window);

// The IPv4 address and port of the receiver announced as `name`, or nullopt when it is not
// found within `limit`.
std::optional<FoundReceiver> resolveReceiver(const std::string& name,
                                             std::chrono::milliseconds limit);

// The lines --find prints for `found` (nullopt: discovery unavailable).
std::vector<std::string> findLines(const std::optional<std::vector<FoundReceiver>>& found);

// tetherstream --find: lists the receivers found within kFindWindow on standard output. Returns
// the exit status: 0 when at least one was found, 1 otherwise.
int runFind();

// When `target` names a receiver, resolves it afresh and stores its address and port in
// tcpHost and port; true when there is an address to connect to. On false `why` (when given)
// says receiverNotFound. A target naming no receiver is left alone (true).
bool resolveLinkTarget(LinkTarget& target, LinkDownReason* why = nullptr);
