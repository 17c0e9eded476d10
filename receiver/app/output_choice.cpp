#include "output_choice.h"

#include <cstdio>
#include <string>

#include "null_output.h"
#include "pipewire_output.h"
#include "pulse_output.h"

namespace qwr {

namespace {

template <typename T>
StartedOutput started(std::unique_ptr<T> output, const char* name) {
    T* raw = output.get();
    return {std::move(output), name, [raw] { return raw->failed(); }};
}

}  // namespace

StartedOutput startOutput(const Options& o, qw_receiver* receiver) {
    std::string error;
    if (o.output == OutputKind::null) {
        auto null = std::make_unique<NullOutput>(receiver, o.clockPpm, o.wavPath);
        if (null->start(error)) return {std::move(null), "the null output", [] { return false; }};
    }
    bool noPipeWire = false;
    if (o.output == OutputKind::pipewire || o.output == OutputKind::automatic) {
        auto pipewire = std::make_unique<PipeWireOutput>(receiver, o.sink, o.outputLatencyMs);
        if (pipewire->start(error)) return started(std::move(pipewire), "pipewire");
        noPipeWire = pipewire->noDaemon();
    }
    if (o.output == OutputKind::pulse || (o.output == OutputKind::automatic && noPipeWire)) {
        auto pulse = std::make_unique<PulseOutput>(receiver, o.sink, o.outputLatencyMs);
        if (pulse->start(error)) return started(std::move(pulse), "pulseaudio");
        if (o.output == OutputKind::automatic && pulse->noServer()) {
            error =
                "no sound server: neither PipeWire nor PulseAudio answers (--output null plays "
                "to nothing)";
        }
    }
    std::printf("%s\n", error.c_str());
    return {};
}

}  // namespace qwr
