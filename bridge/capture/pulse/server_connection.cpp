#include "bridge/capture/pulse/server_connection.h"

#include <pulse/introspect.h>

namespace {

const char* const kClientName = "tetherstream";

}  // namespace

ServerConnection::~ServerConnection() {
    close();
}

bool ServerConnection::open(SoundServerError* why) {
    close();
    loop_ = pa_mainloop_new();
    if (loop_ != nullptr) context_ = pa_context_new(pa_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) {
        reportSoundServerError(why, {SoundServerCause::noClient, 0});
        close();
        return false;
    }
    const bool started =
        pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    const bool ready =
        started && await([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
    if (!ready) {
        reportSoundServerError(
            why, soundServerErrorFrom(pa_context_errno(context_), SoundServerCause::noAnswer));
        close();
        return false;
    }
    return true;
}

void ServerConnection::close() {
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    if (loop_ != nullptr) {
        pa_mainloop_free(loop_);
        loop_ = nullptr;
    }
}

bool ServerConnection::broken() const {
    if (context_ == nullptr) return true;
    const pa_context_state_t state = pa_context_get_state(context_);
    return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

std::string ServerConnection::serverName() {
    std::string name;
    bool answered = false;
    struct Reply {
        std::string* name;
        bool* answered;
    } reply{&name, &answered};
    pa_operation* op = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* p) {
            auto* r = static_cast<Reply*>(p);
            if (info != nullptr && info->server_name != nullptr) {
                *r->name = info->server_name;
                if (info->server_version != nullptr)
                    *r->name += std::string(" ") + info->server_version;
            }
            *r->answered = true;
        },
        &reply);
    if (op == nullptr) return "";
    if (!await([&] { return answered; })) pa_operation_cancel(op);
    pa_operation_unref(op);
    return name;
}
