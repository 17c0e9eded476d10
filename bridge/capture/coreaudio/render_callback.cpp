#include "bridge/capture/coreaudio/render_callback.h"

#include <bit>
#include <cstring>

#include "bridge/capture.h"
#include "bridge/link_state.h"
#include "bridge/uptime_clock.h"
#include "common/atomic_max.h"
#include "common/frame_header.h"

void writeAudioFrame(Bytes& frame, const float* left, const float* right, uint32_t frames) {
    using namespace qw::wire;
    const size_t payload = size_t{frames} * kBytesPerFrame;
    frame.resize(payload + kHeaderSize);
    uint8_t* p = writeFrameHeader(frame.data(), FrameType::audio, payload);
    for (uint32_t i = 0; i < frames; ++i, p += kBytesPerFrame) {
        const int16_t pair[2] = {toStreamSample(left[i]), toStreamSample(right[i])};
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p, pair, 4);  // little-endian already; lets the loop vectorise
        } else {
            for (int k = 0; k < 2; ++k) {
                const auto u = static_cast<uint16_t>(pair[k]);
                p[2 * k] = static_cast<uint8_t>(u);
                p[2 * k + 1] = static_cast<uint8_t>(u >> 8);
            }
        }
    }
}

OSStatus renderCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                        const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                        UInt32 inNumberFrames, AudioBufferList* /*ioData*/) {
    auto& c = *static_cast<Capture*>(inRefCon);

    const uint64_t now = uptimeNs();
    if (c.lastCbNs != 0) {
        qw::raiseAtomicMax(c.maxGapMs, static_cast<double>(now - c.lastCbNs) / 1000000.0);
    }
    c.lastCbNs = now;

    if (c.unit == nullptr || !c.inBuf || c.inBuf->floatChannelData() == nullptr ||
        c.abl == nullptr || c.sink == nullptr) {
        return 0;
    }
    // The capture buffer holds kCaptureFrames; a larger call is treated like a failed render.
    if (inNumberFrames > c.inBuf->frameCapacity()) return 0;

    for (UInt32 i = 0; i < c.abl->mNumberBuffers && i < 2; ++i) {
        c.abl->mBuffers[i].mNumberChannels = 1;
        c.abl->mBuffers[i].mDataByteSize = inNumberFrames * 4;
        c.abl->mBuffers[i].mData = c.inBuf->floatChannelData()[i];
    }
    if (AudioUnitRender(c.unit, ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames, c.abl) !=
        0) {
        return 0;
    }
    c.inBuf->setFrameLength(inNumberFrames);

    if (currentTunnel() < 0) return 0;  // no link: the rendered samples are dropped
    if (!c.conv || !c.inFmt || !c.outBuf) return 0;
    const UInt32 rendered = c.abl->mNumberBuffers < 2 ? c.abl->mNumberBuffers : 2;
    c.silence.note(allZero(c.inBuf->floatChannelData(), rendered, inNumberFrames), inNumberFrames,
                   c.inFmt->sampleRate());

    // A new output buffer for this call, in the memory made for it at set-up.
    const uint32_t capacity =
        converterOutputCapacity(c.sink->format.sampleRate(), c.inFmt->sampleRate(), inNumberFrames);
    if (!c.outBuf->reuseWithCapacity(capacity)) return 0;

    bool given = false;
    auto input = [&](uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
        if (given) {
            status = ConverterInputStatus::noDataNow;
            return nullptr;
        }
        given = true;
        status = ConverterInputStatus::haveData;
        return c.inBuf.get();
    };
    if (c.conv->convert(*c.outBuf, input) == ConverterOutputStatus::error) return 0;

    float* const* out = c.outBuf->floatChannelData();
    if (out == nullptr) return 0;
    Bytes frame = c.sink->take();
    writeAudioFrame(frame, out[0], out[1], c.outBuf->frameLength());
    c.sink->push(std::move(frame));
    return 0;
}
