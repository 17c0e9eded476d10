#include "bridge/discovery.h"

#include <arpa/inet.h>

#include <algorithm>

#include "bridge/console.h"
#include "bridge/dns_sd_session.h"
#include "bridge/link_supervisor.h"
#include "bridge/report_text.h"

namespace {

using Operation = DnsSdSession::Operation;

// What one lookup has learnt; each operation works on the receiver with its entry's index.
struct Lookup {
    DnsSdSession session{this};
    std::vector<FoundReceiver> receivers;
};

struct Reply {
    Lookup& lookup;
    Operation& op;
    FoundReceiver& receiver() { return lookup.receivers[op.entry]; }
};

Reply replyTo(void* context) {
    auto* op = static_cast<Operation*>(context);
    return {*static_cast<Lookup*>(op->owner), *op};
}

std::string withoutFinalDot(const char* name) {
    std::string text = name != nullptr ? name : "";
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

void DNSSD_API onAddress(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error,
                         const char*, uint16_t type, uint16_t, uint16_t length, const void* data,
                         uint32_t, void* context) {
    Reply reply = replyTo(context);
    if (error != kDNSServiceErr_NoError) {
        reply.op.finished = true;
        return;
    }
    if ((flags & kDNSServiceFlagsAdd) == 0 || type != kDNSServiceType_A || length != 4) return;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, data, text, sizeof text) == nullptr) return;
    reply.receiver().address = text;
    reply.op.finished = true;
}

void DNSSD_API onResolved(DNSServiceRef, DNSServiceFlags, uint32_t interfaceIndex,
                          DNSServiceErrorType error, const char*, const char* host,
                          uint16_t networkPort, uint16_t, const unsigned char*, void* context) {
    Reply reply = replyTo(context);
    reply.op.finished = true;
    if (error != kDNSServiceErr_NoError || host == nullptr) return;
    reply.receiver().host = withoutFinalDot(host);
    reply.receiver().port = ntohs(networkPort);
    // The host's IPv4 address: an A record query works with every DNS-SD implementation.
    reply.lookup.session.add(reply.op.entry, [&](Operation* op) {
        return DNSServiceQueryRecord(&op->ref, 0, interfaceIndex, host, kDNSServiceType_A,
                                     kDNSServiceClass_IN, onAddress, op);
    });
}

bool startResolve(Lookup& lookup, size_t entry, uint32_t interfaceIndex, const char* domain) {
    const std::string& name = lookup.receivers[entry].name;
    return lookup.session.add(entry, [&](Operation* op) {
        return DNSServiceResolve(&op->ref, 0, interfaceIndex, name.c_str(), kReceiverServiceType,
                                 domain, onResolved, op);
    });
}

void DNSSD_API onBrowsed(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                         DNSServiceErrorType error, const char* name, const char*,
                         const char* domain, void* context) {
    Reply reply = replyTo(context);
    if (error != kDNSServiceErr_NoError) {
        reply.op.finished = true;
        return;
    }
    if ((flags & kDNSServiceFlagsAdd) == 0 || name == nullptr) return;
    auto& all = reply.lookup.receivers;
    const bool known =
        std::any_of(all.begin(), all.end(), [&](const FoundReceiver& r) { return r.name == name; });
    if (known) return;
    all.push_back({name, "", "", 0});
    startResolve(reply.lookup, all.size() - 1, interfaceIndex, domain);
}

std::string safe(const std::string& text) {
    return terminalSafeText(text);
}

}  // namespace

std::optional<std::vector<FoundReceiver>> findReceivers(std::chrono::milliseconds window) {
    Lookup lookup;
    const bool browsing = lookup.session.add(0, [](Operation* op) {
        return DNSServiceBrowse(&op->ref, 0, kDNSServiceInterfaceIndexAny, kReceiverServiceType,
                                nullptr, onBrowsed, op);
    });
    if (!browsing) return std::nullopt;
    lookup.session.runUntil(DnsSdSession::Clock::now() + window, [] { return false; });
    auto found = std::move(lookup.receivers);
    std::sort(found.begin(), found.end(),
              [](const FoundReceiver& a, const FoundReceiver& b) { return a.name < b.name; });
    return found;
}

std::optional<FoundReceiver> resolveReceiver(const std::string& name,
                                             std::chrono::milliseconds limit) {
    Lookup lookup;
    lookup.receivers.push_back({name, "", "", 0});
    if (!startResolve(lookup, 0, kDNSServiceInterfaceIndexAny, "local.")) return std::nullopt;
    const FoundReceiver& receiver = lookup.receivers[0];
    const bool resolved = lookup.session.runUntil(DnsSdSession::Clock::now() + limit,
                                                  [&] { return !receiver.address.empty(); });
    if (!resolved) return std::nullopt;
    return receiver;
}

std::vector<std::string> findLines(const std::optional<std::vector<FoundReceiver>>& found) {
    if (!found) {
        return {
            "cannot look for receivers: no mDNS service here (on Linux: is avahi-daemon "
            "running?)"};
    }
    if (found->empty()) return {"no receiver found on the network"};
    std::vector<std::string> lines{"receivers found: " + std::to_string(found->size())};
    for (const FoundReceiver& r : *found) {
        std::string line = "  " + safe(r.name) + " \u2014 ";
        if (r.host.empty()) {
            line += "not resolved";
        } else {
            line += safe(r.host) + ":" + std::to_string(r.port);
            line += r.address.empty() ? " (no IPv4 address)" : " (" + r.address + ")";
        }
        lines.push_back(line);
    }
    return lines;
}

int runFind() {
    const auto found = findReceivers(kFindWindow);
    for (const std::string& line : findLines(found)) printLine(line);
    return found && !found->empty() ? 0 : 1;
}

bool resolveLinkTarget(LinkTarget& target, LinkDownReason* why) {
    if (target.receiverName.empty()) return true;
    const auto receiver = resolveReceiver(target.receiverName, kResolveLimit);
    if (!receiver) {
        reportLinkDown(why, LinkDownReason::receiverNotFound);
        return false;
    }
    target.tcpHost = receiver->address;
    target.port = receiver->port;
    return true;
}
