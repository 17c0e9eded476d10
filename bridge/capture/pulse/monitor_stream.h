#pragma once
// Recording the quillwave sink's monitor in the stream's own format (48 kHz, 16-bit
// little-endian, two channels interleaved), in pieces of about 256 frames. When the sink runs
// at another rate the sound server converts; each piece that arrives is already the payload of
// an audio frame and goes to the frame sink's queue while a link exists.

#include <pulse/def.h>
#include <pulse/stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/capture/frame_sink.h"
#include "bridge/capture/pulse/server_connection.h"
#include "bridge/capture/pulse/sound_server_cause.h"

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
// audio frames of at most kMostFramesPerFrame sample frames, in order, on `sink`'s queue;
// nothing while there is no link. Buffers come from `sink`'s pool, and frames the queue drops go
// back to it. While the sender lags, a piece is added to the newest queued frame when that has
// room (SendQueue::appendAudio), so the queue holds up to its bound in time rather than 256
// small frames.
void queueAudio(FrameSink& sink, const uint8_t* pcm, size_t bytes);

// What the monitor's read callback works with, through libpulse's userdata pointer: where the
// pieces go, and the interval between reads. The capture source owns it; it outlives every
// stream started with it.
class MonitorReads {
  public:
    // Where the pieces go; set before a stream is started with this.
    FrameSink* sink = nullptr;

    // At each read (the thread running the main loop): the interval since the previous read,
    // if there was one, raises the maximum. Allocates nothing and never waits.
    void recordRead(uint64_t nowNs);
    // A new stream starts: its first read records no interval.
    void restart() { lastNs = 0; }
    // The longest interval between two reads since the last call, in milliseconds, zeroed in
    // the same step. Any thread.
    double takeMaxGapMs() { return maxGapMs.exchange(0.0, std::memory_order_relaxed); }

  private:
    uint64_t lastNs = 0;  // uptime of the previous read; 0: none yet
    std::atomic<double> maxGapMs{0.0};
};

// Connects a record stream to `monitor` and waits until it runs. Each read queues its pieces
// on reads.sink (which must be set) and records its interval in `reads`. Null, with the cause
// in `why`, when the server refuses. The stream never moves to another source: when the sink
// goes, the stream fails.
pa_stream* startMonitorStream(ServerConnection& server, const std::string& monitor,
                              MonitorReads& reads, SoundServerError* why = nullptr);

// True once the stream has failed or ended (its sink was removed, or the server went away).
bool streamBroken(pa_stream* stream);

// Disconnects and releases the stream (null is fine); no read is delivered after this.
void stopMonitorStream(pa_stream* stream);
