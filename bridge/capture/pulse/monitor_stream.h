#pragma once
// Recording the quillwave sink's monitor in the stream's own format (48 kHz, 16-bit
// little-endian, two channels interleaved), in pieces of about 256 frames. When the sink runs
// at another rate the sound server converts; each piece that arrives is already the payload of
// an audio frame and goes to sendQ while a link exists.

#include <pulse/def.h>
#include <pulse/stream.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "server_connection.h"

// The piece the stream asks for: 256 frames, 5.3 ms (the Mac's device buffer).
inline constexpr uint32_t kPieceFrames = 256;
// The most sample frames one audio frame carries; a longer piece (after a stall) is split.
inline constexpr size_t kMostFramesPerFrame = 1024;

// The stream's buffer attributes: fragsize one piece, maxlength left to the server (its
// default, about 2 s, only fills if the bridge stalls that long), the playback fields unused.
// With PA_STREAM_ADJUST_LATENCY the server sets the monitor's latency to the piece, so the
// sink renders (and the monitor delivers) at least every 5.3 ms.
pa_buffer_attr monitorBufferAttributes();

// Queues `bytes` of 48 kHz 16-bit stereo (a partial sample frame at the end is dropped) as
// audio frames of at most kMostFramesPerFrame sample frames, in order, on sendQ; nothing while
// there is no link. Buffers come from gFramePool. While the sender lags, a piece is added to the
// newest queued frame when that has room (SendQueue::appendAudio), so the queue holds up to its
// bound in time rather than 256 small frames.
void queueAudio(const uint8_t* pcm, size_t bytes);

// Connects a record stream to `monitor` and waits until it runs. Each read also records the
// gap since the previous one in cap.maxGapMs. Null, with `why`, when the server refuses.
// The stream never moves to another source: when the sink goes, the stream fails.
pa_stream* startMonitorStream(ServerConnection& server, const std::string& monitor,
                              std::string& why);

// True once the stream has failed or ended (its sink was removed, or the server went away).
bool streamBroken(pa_stream* stream);

// Disconnects and releases the stream (null is fine).
void stopMonitorStream(pa_stream* stream);
