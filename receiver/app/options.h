#pragma once
// qwreceiver's command line.

#include <cstdint>
#include <optional>
#include <string>

#include "allow_list.h"
#include "common/wire_format.h"
#include "quillwave_receiver.h"

namespace qwr {

// The receiver's own defaults, for a 48000 Hz output.
inline const qw_receiver_config kReceiverDefaults = qw_receiver_config_init(qw::wire::kSampleRate);

// Where the sound goes: PipeWire when its daemon answers, else PulseAudio (automatic), or the
// one named with --output.
enum class OutputKind { automatic, pulse, pipewire, null };

struct Options {
    std::string listen = "0.0.0.0";
    uint16_t port = qw::wire::kAppPort;
    double latencyMs =
        kReceiverDefaults.latency_ms;  // buffer target (start and floor if automatic)
    bool automatic = kReceiverDefaults.automatic != 0;  // --fixed-latency turns it off
    OutputKind output = OutputKind::automatic;
    std::string sink;               // sink or target node; empty: the server's default
    double outputLatencyMs = 10.0;  // 2 ms underflows constantly on a busy machine (measured)
    double clockPpm = 0;            // null output only
    std::string wavPath;            // null output only
    double seconds = 0;             // stop after this long; 0: run until killed
    std::string name;               // the announced name; empty: the host name
    bool announce = true;           // --no-announce turns it off
    AllowList allow;                // --allow entries; empty: every host may connect
    bool help = false;              // --help: the manual was printed, nothing else to do
};

// nullopt after printing the usage (or an error) to standard error.
std::optional<Options> parseOptions(int argc, char** argv);

}  // namespace qwr
