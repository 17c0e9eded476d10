#pragma once
// Which output qwreceiver plays to: the one named with --output, or PipeWire when its daemon
// answers, else PulseAudio. The chosen output is started; none starts without one line saying
// why (an explicit choice never falls back to another).

#include <functional>
#include <memory>

#include "options.h"
#include "output.h"
#include "quillwave_receiver.h"

namespace qwr {

struct StartedOutput {
    std::unique_ptr<Output> output;  // null when none started (the reason was printed)
    const char* name = "";           // "pipewire", "pulseaudio" or "the null output"
    std::function<bool()> lost;      // the sound server went away since the start
};

StartedOutput startOutput(const Options& options, qw_receiver* receiver);

}  // namespace qwr
