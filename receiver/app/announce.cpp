#include "announce.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <unistd.h>

#include <climits>

namespace qwr {

namespace {

// One whole line per write, so lines from this thread and the server's never interleave.
void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)!::write(STDOUT_FILENO, text.data(), text.size());
}

std::string quoted(const std::string& name) {
    return "\u201C" + name + "\u201D";
}

}  // namespace

bool isServiceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxServiceNameBytes) return false;
    size_t pos = 0;
    while (pos < name.size()) {
        const auto lead = static_cast<unsigned char>(name[pos]);
        if (lead < 0x20 || lead == 0x7F) return false;
        if (lead < 0x80) {
            ++pos;
            continue;
        }
        // The length and the allowed range of the second byte (no overlong forms, no
        // surrogates, nothing above U+10FFFF).
        size_t size = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            size = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            size = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            size = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (pos + size > name.size()) return false;
        for (size_t i = 1; i < size; ++i) {
            const auto next = static_cast<unsigned char>(name[pos + i]);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return false;
        }
        pos += size;
    }
    return true;
}

std::string defaultServiceName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "qwreceiver";
    const std::string name = std::string(host).substr(0, kMaxServiceNameBytes);
    return isServiceName(name) ? name : "qwreceiver";
}

Announcer::Announcer(const std::string& name, uint16_t port) : name_(name), port_(port) {
    poll_ = avahi_threaded_poll_new();
    if (poll_ == nullptr) {
        say("not announced: cannot start the avahi client");
        return;
    }
    client_ = connect();
    if (client_ != nullptr) avahi_threaded_poll_start(poll_);
}

Announcer::~Announcer() {
    if (poll_ == nullptr) return;
    avahi_threaded_poll_stop(poll_);
    if (client_ != nullptr) avahi_client_free(client_);  // frees the entry group too
    avahi_threaded_poll_free(poll_);
}

AvahiClient* Announcer::connect() {
    auto onState = [](AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<Announcer*>(self)->onClientState(c, state);
    };
    int error = 0;
    // Without the daemon the client waits for it (connecting) instead of failing.
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                           onState, this, &error);
    if (client == nullptr) {
        say("not announced: avahi: " + std::string(avahi_strerror(error)) +
            " (the receiver still serves on port " + std::to_string(port_) + ")");
    }
    return client;
}

void Announcer::onClientState(AvahiClient* client, int state) {
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            toldWaiting_ = false;
            publish(client);
            return;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            if (group_ != nullptr) avahi_entry_group_reset(group_);
            return;
        case AVAHI_CLIENT_CONNECTING:
            if (group_ != nullptr) avahi_entry_group_free(group_);
            group_ = nullptr;
            if (!toldWaiting_) {
                say("avahi-daemon is not running: not announced (the receiver still serves on "
                    "port " +
                    std::to_string(port_) + ")");
            }
            toldWaiting_ = true;
            return;
        case AVAHI_CLIENT_FAILURE:
            reconnectAfterFailure(client);
            return;
        default:
            return;
    }
}

void Announcer::reconnectAfterFailure(AvahiClient* client) {
    const int error = avahi_client_errno(client);
    if (error != AVAHI_ERR_DISCONNECTED) {
        say("not announced: avahi: " + std::string(avahi_strerror(error)));
        return;
    }
    // The daemon went away: a fresh client waits for it to come back and announces again.
    say("avahi-daemon went away; announcing again once it is back");
    group_ = nullptr;  // freed with the client
    avahi_client_free(client);
    toldWaiting_ = true;
    client_ = connect();
}

void Announcer::publish(AvahiClient* client) {
    auto onState = [](AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<Announcer*>(self)->onGroupState(g, state);
    };
    if (group_ == nullptr) group_ = avahi_entry_group_new(client, onState, this);
    if (group_ == nullptr) {
        say("not announced: avahi: " + std::string(avahi_strerror(avahi_client_errno(client))));
        return;
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    for (;;) {
        const int error = avahi_entry_group_add_service(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0), name_.c_str(),
            kServiceType, nullptr, nullptr, port_, nullptr);
        if (error == AVAHI_ERR_COLLISION) {
            renameAfterCollision();
            continue;
        }
        const int committed = error == 0 ? avahi_entry_group_commit(group_) : error;
        if (committed == 0) return;
        say("not announced as " + quoted(name_) + ": avahi: " + avahi_strerror(committed));
        return;
    }
}

void Announcer::onGroupState(AvahiEntryGroup* group, int state) {
    AvahiClient* client = avahi_entry_group_get_client(group);
    switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            say("announced as " + quoted(name_) + " (" + kServiceType + " port " +
                std::to_string(port_) + ")");
            return;
        case AVAHI_ENTRY_GROUP_COLLISION:
            renameAfterCollision();
            avahi_entry_group_reset(group);
            publish(client);
            return;
        case AVAHI_ENTRY_GROUP_FAILURE:
            say("announcement failed: avahi: " +
                std::string(avahi_strerror(avahi_client_errno(client))));
            return;
        default:
            return;
    }
}

void Announcer::renameAfterCollision() {
    char* next = avahi_alternative_service_name(name_.c_str());
    say("the name " + quoted(name_) + " is taken on the network; trying " + quoted(next));
    name_ = next;
    avahi_free(next);
}

}  // namespace qwr
