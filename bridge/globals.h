#pragma once
// Program-wide capture state, created before any thread starts and never freed. The link
// state (gTunnels, gLock, tcpMode, tcpHost, kDevicePort) lives in link_state.h. Everything else
// the bridge keeps belongs to the object that uses it: the capture source, the frame pool and
// the sink (made by main.cpp), the sender, the rate follower.

#include <optional>

#include "bridge/audio_format.h"
#include "bridge/capture.h"
#include "bridge/send_queue.h"

// The stream format captured sound is converted to: 32-bit float, 48000 Hz, 2 channels,
// non-interleaved. The phone receives it as 16-bit little-endian interleaved samples, made from
// it frame by frame. Set once at start-up, before capture is set up.
extern std::optional<AudioFormat> outFmt;

// The capture state; the render callback's context. The sender writes cap.maxWriteMs.
extern Capture& cap;

// Frames from the render callback to the sender.
extern SendQueue& sendQ;

// The stream format as start-up makes it (nothing if the platform refuses it).
std::optional<AudioFormat> makeOutputFormat();
