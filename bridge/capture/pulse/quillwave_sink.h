#pragma once
// The "Quillwave" sink: a null sink named quillwave that desktop applications play into, the
// way Mac applications play into the Quillwave device. The bridge finds it, or makes it in the
// stream's own format. A sink the bridge makes stays loaded after the bridge ends, so the
// desktop's choice of output survives a restart of the bridge and the next start reuses it.

#include <cstdint>
#include <optional>
#include <string>

#include "bridge/capture/pulse/server_connection.h"
#include "bridge/capture/pulse/sound_server_cause.h"

inline constexpr const char* kSinkName = "quillwave";
inline constexpr const char* kSinkDescription = "Quillwave";

struct SinkFound {
    uint32_t index = 0;   // the sink's index on the server
    uint32_t rate = 0;    // its sample rate, Hz
    std::string monitor;  // the name of its monitor source
    bool made = false;    // true: the bridge has just made it
    uint32_t module = 0;  // the module that holds it (unload it to remove the sink)
};

// module-null-sink's arguments for the sink: 48 kHz, 16-bit little-endian, two channels
// (front left and right), named quillwave and described as "Quillwave".
std::string nullSinkArguments();

// Looks the sink up by name; absent when there is none (or the server does not answer).
std::optional<SinkFound> findSink(ServerConnection& server);

// Finds the sink, or makes it and looks it up again. Absent, with the cause in `why`, when the
// server refuses to load the module, does not answer, or does not list the sink it made.
std::optional<SinkFound> findOrMakeSink(ServerConnection& server, SoundServerError* why = nullptr);
