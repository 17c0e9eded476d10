#include "bridge/capture.h"

#include <algorithm>
#include <utility>

#include "common/wire_format.h"

namespace {

// Frame buffers made ready before capture starts (kPrefilledFrameBuffers) are each large enough
// for a callback of up to this many device frames (larger callbacks grow a buffer once, and it
// keeps its size).
constexpr uint32_t kPrefilledDeviceFrames = 1024;

}  // namespace

CaptureBuffers makeCaptureBuffers(const AudioStreamBasicDescription& clientFmt,
                                  const AudioFormat& out) {
    CaptureBuffers b;
    b.inFmt = AudioFormat::fromStreamDescription(clientFmt);
    if (!b.inFmt) return b;
    const double inRate = b.inFmt->sampleRate();
    b.conv = Converter::make(*b.inFmt, out, kCaptureFrames);
    b.inBuf = PcmBuffer::make(*b.inFmt, kCaptureFrames);
    b.outBuf =
        PcmBuffer::make(out, converterOutputCapacity(out.sampleRate(), inRate, kCaptureFrames));
    const uint32_t mostFrames =
        converterOutputCapacity(out.sampleRate(), inRate, kPrefilledDeviceFrames);
    b.frameBytes = qw::wire::kHeaderSize + qw::wire::kBytesPerFrame * size_t{mostFrames};
    return b;
}

void installCaptureBuffers(Capture& c, CaptureBuffers& b) {
    std::swap(c.inFmt, b.inFmt);
    std::swap(c.conv, b.conv);
    std::swap(c.inBuf, b.inBuf);
    std::swap(c.outBuf, b.outBuf);
    if (b.frameBytes != 0 && c.sink != nullptr)
        c.sink->pool.growBuffers(kPrefilledFrameBuffers, b.frameBytes);
}

void prepareCapture(Capture& c, const AudioStreamBasicDescription& clientFmt, FrameSink& sink) {
    c.sink = &sink;
    CaptureBuffers b = makeCaptureBuffers(clientFmt, sink.format);
    installCaptureBuffers(c, b);
    const size_t ablBytes = offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer);
    c.ablStorage = std::make_unique<std::byte[]>(std::max(ablBytes, sizeof(AudioBufferList)));
    c.abl = reinterpret_cast<AudioBufferList*>(c.ablStorage.get());
    c.abl->mNumberBuffers = 2;
}
