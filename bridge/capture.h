#pragma once
// The capture state: one object, `cap`, for the whole run. The input unit set-up fills unit,
// inFmt, conv, inBuf, abl (and the reusable output buffer) before the unit starts; the render
// callback reads them without a lock since they are never replaced afterwards.

#include <AudioToolbox/AudioToolbox.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio_format.h"
#include "converter.h"

// The most frames one render callback can take: the capture buffer's capacity.
inline constexpr uint32_t kCaptureFrames = 8192;

class Capture {
  public:
    AudioUnit unit = nullptr;             // the HAL output unit used for input
    std::unique_ptr<Converter> conv;      // inFmt -> outFmt; absent if it could not be made
    std::optional<AudioFormat> inFmt;     // 32-bit float, 2 channels, non-interleaved
    std::unique_ptr<PcmBuffer> inBuf;     // kCaptureFrames frames in inFmt
    AudioBufferList* abl = nullptr;       // room for 2 buffers; mNumberBuffers is 2
    uint64_t lastCbNs = 0;                // uptime of the previous callback; 0: none yet
    std::atomic<double> maxGapMs{0.0};    // worst callback gap since the last statistics line
    std::atomic<double> maxWriteMs{0.0};  // worst frame write since the last statistics line

    // The converter's output buffer, made once with room for the largest callback and reused
    // as a new buffer of the capacity each call computes, so the callback allocates nothing.
    std::unique_ptr<PcmBuffer> outBuf;

    // Memory behind `abl`.
    std::unique_ptr<std::byte[]> ablStorage;
};

// Fills inFmt, conv, inBuf, outBuf and abl of `c` for capture at `rate` Hz, converted to
// `out`. Fields the platform cannot provide stay absent (the render callback then queues
// nothing). Runs on the set-up thread, never on the audio thread.
void prepareCapture(Capture& c, const AudioStreamBasicDescription& clientFmt,
                    const AudioFormat& out);
