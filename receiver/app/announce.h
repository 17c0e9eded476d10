#pragma once
// Announces qwreceiver on the local network as a DNS-SD service (_quillwave._tcp on its port)
// through avahi-daemon, so bridges find it by name. Discovery is a convenience: without the
// daemon (or without D-Bus) it says so in one line and the receiver serves on regardless; a
// daemon that starts (or restarts) later is picked up by itself. Runs on a thread of its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiThreadedPoll;

namespace qwr {

inline constexpr const char* kServiceType = "_quillwave._tcp";
// A DNS-SD instance name is one DNS label: at most 63 bytes of UTF-8.
inline constexpr size_t kMaxServiceNameBytes = 63;

class Announcer {
  public:
    Announcer(const std::string& name, uint16_t port);
    ~Announcer();
    Announcer(const Announcer&) = delete;
    Announcer& operator=(const Announcer&) = delete;

  private:
    void onClientState(AvahiClient* client, int state);
    void onGroupState(AvahiEntryGroup* group, int state);
    void reconnectAfterFailure(AvahiClient* client);
    void publish(AvahiClient* client);
    void renameAfterCollision();
    AvahiClient* connect();

    std::string name_;  // changed after a name collision, on the poll thread only
    uint16_t port_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    bool toldWaiting_ = false;
};

// Whether `name` can be announced: 1 to 63 bytes of strict UTF-8 without ASCII control
// characters (DNS-SD instance names are Net-Unicode; D-Bus aborts on anything but UTF-8).
bool isServiceName(std::string_view name);

// The name announced when --name is not given: the host name, or "qwreceiver" when the host
// name is unset or not a usable name.
std::string defaultServiceName();

}  // namespace qwr
