#pragma once
// Program-wide capture state, created before any thread starts and never freed. The link
// state (gTunnels, gLock, tcpMode, tcpHost, kDevicePort) lives in link_state.h.

#include <optional>

#include "audio_format.h"
#include "capture.h"
#include "send_queue.h"

// The stream format sent to the phone: 32-bit float, 48000 Hz, 2 channels, non-interleaved.
// Set once at start-up, before the input unit is configured.
extern std::optional<AudioFormat> outFmt;

// The capture state; the render callback's context. The sender writes cap.maxWriteMs.
extern Capture& cap;

// Frames from the render callback to the sender.
extern SendQueue& sendQ;

// The stream format as start-up makes it (nothing if the platform refuses it).
std::optional<AudioFormat> makeOutputFormat();
