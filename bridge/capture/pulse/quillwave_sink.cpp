#include "bridge/capture/pulse/quillwave_sink.h"

#include <pulse/introspect.h>

#include "common/wire_format.h"

std::string nullSinkArguments() {
    return std::string("sink_name=") + kSinkName +
           " sink_properties=device.description=" + kSinkDescription +
           " rate=" + std::to_string(qw::wire::kSampleRate) +
           " format=s16le channels=2 channel_map=front-left,front-right";
}

std::optional<SinkFound> findSink(ServerConnection& server) {
    struct Lookup {
        std::optional<SinkFound> sink;
        bool done = false;
    } lookup;
    pa_operation* op = pa_context_get_sink_info_by_name(
        server.context(), kSinkName,
        [](pa_context*, const pa_sink_info* info, int eol, void* p) {
            auto* l = static_cast<Lookup*>(p);
            if (eol != 0 || info == nullptr) {
                l->done = true;  // the end of the list, or no such sink
                return;
            }
            SinkFound s;
            s.index = info->index;
            s.rate = info->sample_spec.rate;
            // Every sink has a monitor; its usual name stands in should the server not say.
            s.monitor = info->monitor_source_name != nullptr ? info->monitor_source_name
                                                             : std::string(kSinkName) + ".monitor";
            s.module = info->owner_module;
            l->sink = s;
        },
        &lookup);
    if (op == nullptr) return std::nullopt;
    if (!server.await([&] { return lookup.done; })) pa_operation_cancel(op);
    pa_operation_unref(op);
    return lookup.done ? lookup.sink : std::nullopt;
}

std::optional<SinkFound> findOrMakeSink(ServerConnection& server, SoundServerError* why) {
    if (auto sink = findSink(server)) return sink;
    struct Load {
        uint32_t module = PA_INVALID_INDEX;
        bool done = false;
    } load;
    const std::string arguments = nullSinkArguments();
    pa_operation* op = pa_context_load_module(
        server.context(), "module-null-sink", arguments.c_str(),
        [](pa_context*, uint32_t index, void* p) {
            auto* l = static_cast<Load*>(p);
            l->module = index;
            l->done = true;
        },
        &load);
    const bool answered = op != nullptr && server.await([&] { return load.done; });
    if (op != nullptr) {
        if (!answered) pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    if (!answered || load.module == PA_INVALID_INDEX) {
        const int error = server.broken() || !answered ? 0 : pa_context_errno(server.context());
        reportSoundServerError(
            why, soundServerErrorFrom(
                     error, answered ? SoundServerCause::refused : SoundServerCause::noAnswer));
        return std::nullopt;
    }
    auto sink = findSink(server);
    if (!sink) {
        reportSoundServerError(why, {SoundServerCause::sinkNotListed, 0});
        return std::nullopt;
    }
    sink->made = true;
    return sink;
}
