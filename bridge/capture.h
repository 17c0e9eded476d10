#pragma once
// The capture state: one object, `cap`, for the whole run. The input unit set-up fills unit,
// inFmt, conv, inBuf, abl (and the reusable output buffer) and names the sink the frames go to
// before the unit starts. When the
// device changes its rate, inFmt, conv, inBuf and outBuf are replaced, but only while the unit
// is stopped: the render callback reads them without a lock and never sees them change.

#include <AudioToolbox/AudioToolbox.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "bridge/audio_format.h"
#include "bridge/capture/coreaudio/silence_watch.h"
#include "bridge/capture/frame_sink.h"
#include "bridge/converter.h"

// The most frames one render callback can take: the capture buffer's capacity.
inline constexpr uint32_t kCaptureFrames = 8192;

class Capture {
  public:
    AudioUnit unit = nullptr;             // the HAL output unit used for input
    std::unique_ptr<Converter> conv;      // inFmt -> outFmt; absent if it could not be made
    std::optional<AudioFormat> inFmt;     // 32-bit float, 2 channels, non-interleaved
    std::unique_ptr<PcmBuffer> inBuf;     // kCaptureFrames frames in inFmt
    AudioBufferList* abl = nullptr;       // room for 2 buffers; mNumberBuffers is 2
    FrameSink* sink = nullptr;            // where the frames go; its format is the converter's
    uint64_t lastCbNs = 0;                // uptime of the previous callback; 0: none yet
    std::atomic<double> maxGapMs{0.0};    // worst callback gap since the last statistics line
    std::atomic<double> maxWriteMs{0.0};  // worst frame write since the last statistics line
    SilenceWatch silence;                 // how long the capture has been exact zeros

    // The converter's output buffer, made once with room for the largest callback and reused
    // as a new buffer of the capacity each call computes, so the callback allocates nothing.
    std::unique_ptr<PcmBuffer> outBuf;

    // Memory behind `abl`.
    std::unique_ptr<std::byte[]> ablStorage;
};

// Everything of the capture state that depends on the device's rate, made in advance (it
// allocates) and then put in place in one step while the unit is stopped.
struct CaptureBuffers {
    std::optional<AudioFormat> inFmt;
    std::unique_ptr<Converter> conv;
    std::unique_ptr<PcmBuffer> inBuf;
    std::unique_ptr<PcmBuffer> outBuf;
    size_t frameBytes = 0;  // a pooled frame buffer with room for a 1024-frame callback
};

// The buffers for capture in `clientFmt`, converted to `out`. What the platform cannot provide
// stays absent (the render callback then queues nothing). Never on the audio thread.
CaptureBuffers makeCaptureBuffers(const AudioStreamBasicDescription& clientFmt,
                                  const AudioFormat& out);

// Swaps `b` into `c` (c's former buffers end up in `b`) and sizes the pooled frame buffers of
// c's sink for them. Only while the render callback cannot run: before the unit starts or while it
// is stopped.
void installCaptureBuffers(Capture& c, CaptureBuffers& b);

// Fills inFmt, conv, inBuf, outBuf and abl of `c` for capture in `clientFmt`, converted to
// sink.format, with the frames going to `sink`. Runs on the set-up thread before the unit
// starts, never on the audio thread.
void prepareCapture(Capture& c, const AudioStreamBasicDescription& clientFmt, FrameSink& sink);
