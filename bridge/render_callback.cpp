#include "render_callback.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "capture.h"
#include "frame_pool.h"
#include "globals.h"
#include "link_state.h"
#include "uptime_clock.h"

int16_t toStreamSample(float v) {
    // Written as two selects (the shape of min/max instructions) so loops over it vectorise:
    // below 32767 the larger of x and -32767; 32767 otherwise, also when x is not a number.
    float x = v * 32767.0f;
    x = x < 32767.0f ? x : 32767.0f;
    x = x > -32767.0f ? x : -32767.0f;
    return static_cast<int16_t>(static_cast<int32_t>(x));
}

void writeAudioFrame(Bytes& frame, const float* left, const float* right, uint32_t frames) {
    const size_t payload = size_t{frames} * 4;
    frame.resize(payload + 5);
    uint8_t* p = frame.data();
    const uint32_t length = static_cast<uint32_t>(payload + 1);
    p[0] = static_cast<uint8_t>(length);
    p[1] = static_cast<uint8_t>(length >> 8);
    p[2] = static_cast<uint8_t>(length >> 16);
    p[3] = static_cast<uint8_t>(length >> 24);
    p[4] = static_cast<uint8_t>(FrameType::audio);
    p += 5;
    // Blocks of samples go through a small interleaved buffer so that the compiler can turn the
    // mapping into vector instructions; the bytes are then stored little-endian.
    constexpr uint32_t kBlock = 64;
    int16_t block[2 * kBlock];
    for (uint32_t start = 0; start < frames; start += kBlock) {
        const uint32_t n = std::min(kBlock, frames - start);
        for (uint32_t i = 0; i < n; ++i) {
            block[2 * i] = toStreamSample(left[start + i]);
            block[2 * i + 1] = toStreamSample(right[start + i]);
        }
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p, block, size_t{n} * 4);
        } else {
            for (uint32_t i = 0; i < 2 * n; ++i) {
                const auto u = static_cast<uint16_t>(block[i]);
                p[2 * i] = static_cast<uint8_t>(u);
                p[2 * i + 1] = static_cast<uint8_t>(u >> 8);
            }
        }
        p += size_t{n} * 4;
    }
}

OSStatus renderCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                        const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                        UInt32 inNumberFrames, AudioBufferList* /*ioData*/) {
    auto& c = *static_cast<Capture*>(inRefCon);

    const uint64_t now = uptimeNs();
    if (c.lastCbNs != 0) {
        const double gap = static_cast<double>(now - c.lastCbNs) / 1000000.0;
        if (c.maxGapMs.load(std::memory_order_relaxed) < gap) {
            c.maxGapMs.store(gap, std::memory_order_relaxed);
        }
    }
    c.lastCbNs = now;

    if (c.unit == nullptr || !c.inBuf || c.inBuf->floatChannelData() == nullptr ||
        c.abl == nullptr) {
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
    if (!c.conv || !c.inFmt || !outFmt || !c.outBuf) return 0;

    // A new output buffer for this call, in the memory made for it at set-up.
    const uint32_t capacity =
        static_cast<uint32_t>(outFmt->sampleRate() / c.inFmt->sampleRate() * inNumberFrames) + 32;
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
    std::optional<ConverterError> error;
    c.conv->convert(*c.outBuf, error, input);
    if (error) return 0;

    float* const* out = c.outBuf->floatChannelData();
    if (out == nullptr) return 0;
    Bytes frame = gFramePool.take();
    writeAudioFrame(frame, out[0], out[1], c.outBuf->frameLength());
    sendQ.push(std::move(frame));
    return 0;
}
