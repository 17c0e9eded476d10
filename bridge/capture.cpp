#include "capture.h"

#include <algorithm>
#include <cmath>

#include "frame_pool.h"

namespace {

// Frame buffers made ready before capture starts, each large enough for a callback of up to
// this many device frames (larger callbacks grow a buffer once, and it keeps its size).
constexpr size_t kPrefilledFrames = 64;
constexpr uint32_t kPrefilledDeviceFrames = 1024;

uint32_t outputCapacity(double outRate, double inRate, uint32_t frames) {
    return static_cast<uint32_t>(outRate / inRate * frames) + 32;
}

}  // namespace

void prepareCapture(Capture& c, const AudioStreamBasicDescription& clientFmt,
                    const AudioFormat& out) {
    c.inFmt = AudioFormat::fromStreamDescription(clientFmt);
    if (c.inFmt) {
        c.conv = Converter::make(*c.inFmt, out, kCaptureFrames);
        c.inBuf = PcmBuffer::make(*c.inFmt, kCaptureFrames);
        const double inRate = c.inFmt->sampleRate();
        c.outBuf = PcmBuffer::make(out, outputCapacity(out.sampleRate(), inRate, kCaptureFrames));
        const size_t frameBytes =
            5 + 4 * size_t{outputCapacity(out.sampleRate(), inRate, kPrefilledDeviceFrames)};
        gFramePool.prefill(kPrefilledFrames, frameBytes);
    }
    const size_t ablBytes = offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer);
    c.ablStorage = std::make_unique<std::byte[]>(std::max(ablBytes, sizeof(AudioBufferList)));
    c.abl = reinterpret_cast<AudioBufferList*>(c.ablStorage.get());
    c.abl->mNumberBuffers = 2;
}
