#pragma once
// What the bridge prints about the sound server, in the manner of the Mac's "Found QWV device
// (id N)." and "AUHAL capturing QWV at …".

#include <cstdint>
#include <string>

#include "bridge/capture/pulse/quillwave_sink.h"
#include "bridge/capture/pulse/sound_server_cause.h"

// The reason in a failure line: libpulse's text for its error code ("Connection refused"), or
// the bridge's words for the other causes ("no answer", "refused", ...).
std::string soundServerErrorText(const SoundServerError& error);

// Start-up failures (the bridge then exits with status 1): "No sound server (Connection
// refused) — …", "The sound server would not make …", "… would not let us record …".
std::string noServerLine(const SoundServerError& error);
std::string sinkRefusedLine(const SoundServerError& error);
std::string captureRefusedLine(const SoundServerError& error);
// The line of the step that failed: one of the three above ("" for SoundServerStep::none).
std::string soundServerFailureLine(const SoundServerFailure& failure);

// "Found Quillwave sink (index 3)." or "Made Quillwave sink (index 3, module 22)."
std::string sinkLine(const SinkFound& sink);

// "Pulse capturing quillwave.monitor at 48000 Hz, 256-frame pieces — set the desktop's output
// to Quillwave and play." At another rate the part after the rate says the server converts.
std::string soundServerCaptureLine(const SinkFound& sink, const std::string& server);

// While running: the server went away, or the sink did.
std::string serverGoneLine();
std::string sinkGoneLine();
// While running, no server answers yet: "Sound server not back yet (Connection refused)."
std::string serverAwaitedLine(const SoundServerError& error);
