#include "bridge/converter.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

bool sameShape(const AudioFormat& a, const AudioFormat& b) {
    return a.commonFormat() == b.commonFormat() && a.channelCount() == b.channelCount() &&
           a.isInterleaved() == b.isInterleaved();
}

}  // namespace

uint32_t converterOutputCapacity(double outRate, double inRate, uint32_t inputFrames) {
    return static_cast<uint32_t>(outRate / inRate * inputFrames) + 32;
}

std::unique_ptr<Converter> Converter::make(const AudioFormat& from, const AudioFormat& to,
                                           uint32_t maxInputFrames, int quality) {
    // Only non-interleaved buffers of the same channel count are converted here; that is what
    // the capture pipeline uses on both sides.
    if (from.commonFormat() != AudioCommonFormat::pcmFloat32 || !sameShape(from, to) ||
        from.isInterleaved() || maxInputFrames == 0) {
        return nullptr;
    }
    std::unique_ptr<Converter> c(new Converter(from, to, maxInputFrames));
    if (!c->pending) return nullptr;
    if (from.sampleRate() != to.sampleRate()) {
        const double inRate = std::round(from.sampleRate());
        const double outRate = std::round(to.sampleRate());
        if (inRate < 1 || outRate < 1 || inRate > 1e7 || outRate > 1e7) return nullptr;
        int err = 0;
        c->resampler =
            speex_resampler_init(from.channelCount(), static_cast<uint32_t>(inRate),
                                 static_cast<uint32_t>(outRate), std::clamp(quality, 0, 10), &err);
        if (c->resampler == nullptr || err != RESAMPLER_ERR_SUCCESS) return nullptr;
    }
    return c;
}

Converter::Converter(const AudioFormat& f, const AudioFormat& t, uint32_t maxInputFrames)
    : from(f), to(t), maxInput(maxInputFrames), pending(PcmBuffer::make(f, maxInputFrames)) {}

Converter::~Converter() {
    if (resampler != nullptr) speex_resampler_destroy(resampler);
}

uint32_t Converter::latencyInputFrames() const {
    return resampler == nullptr
               ? 0
               : static_cast<uint32_t>(speex_resampler_get_input_latency(resampler));
}

std::pair<uint32_t, uint32_t> Converter::process(const float* const* in, uint32_t inFrames,
                                                 PcmBuffer& out, uint32_t produced) {
    const uint32_t room = out.frameCapacity() - produced;
    float* const* dst = out.floatChannelData();
    const uint32_t channels = from.channelCount();
    if (resampler == nullptr) {
        const uint32_t n = std::min(inFrames, room);
        for (uint32_t c = 0; c < channels; ++c) {
            std::memcpy(dst[c] + produced, in[c], size_t{n} * sizeof(float));
        }
        return {n, n};
    }
    spx_uint32_t consumed = 0;
    spx_uint32_t made = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        // Every channel starts from the same position and is given the same counts, so each
        // consumes and produces the same number of frames.
        spx_uint32_t inLen = inFrames;
        spx_uint32_t outLen = room;
        speex_resampler_process_float(resampler, c, in[c], &inLen, dst[c] + produced, &outLen);
        consumed = inLen;
        made = outLen;
    }
    return {consumed, made};
}

namespace {

// What is wrong with a buffer the input block returned: none when nothing is.
ConverterError inputError(const PcmBuffer* buf, const AudioFormat& from, uint32_t maxInput) {
    if (buf == nullptr || !sameShape(buf->format(), from) ||
        buf->format().sampleRate() != from.sampleRate()) {
        return ConverterError::formatMismatch;
    }
    if (buf->frameLength() > maxInput) return ConverterError::inputTooLong;
    return ConverterError::none;
}

ConverterOutputStatus failed(ConverterError* why, ConverterError error) {
    if (why != nullptr) *why = error;
    return ConverterOutputStatus::error;
}

}  // namespace

ConverterOutputStatus Converter::convert(PcmBuffer& out, InputBlock input, ConverterError* why) {
    out.setFrameLength(0);
    if (!sameShape(out.format(), to) || out.format().sampleRate() != to.sampleRate()) {
        return failed(why, ConverterError::formatMismatch);
    }
    uint32_t produced = 0;
    auto result = ConverterOutputStatus::haveData;
    const double ratio = to.sampleRate() / from.sampleRate();
    while (produced < out.frameCapacity()) {
        const uint32_t pendingFrames = pending->frameLength() - pendingOffset;
        if (pendingFrames > 0) {
            const float* in[kMaxFormatChannels];
            for (uint32_t c = 0; c < from.channelCount(); ++c) {
                in[c] = pending->floatChannelData()[c] + pendingOffset;
            }
            auto [used, made] = process(in, pendingFrames, out, produced);
            pendingOffset += used;
            produced += made;
            if (used == 0 && made == 0) break;  // no progress possible in this call
            continue;
        }
        pending->setFrameLength(0);
        pendingOffset = 0;

        auto status = ConverterInputStatus::noDataNow;
        const uint32_t wanted =
            static_cast<uint32_t>(std::ceil((out.frameCapacity() - produced) / ratio));
        const PcmBuffer* buf = input(wanted, status);
        if (status == ConverterInputStatus::noDataNow) {
            result = ConverterOutputStatus::inputRanDry;
            break;
        }
        if (status == ConverterInputStatus::endOfStream) {
            result = ConverterOutputStatus::endOfStream;
            break;
        }
        if (const auto bad = inputError(buf, from, maxInput); bad != ConverterError::none) {
            return failed(why, bad);
        }
        if (buf->frameLength() == 0) {
            result = ConverterOutputStatus::inputRanDry;
            break;
        }
        // Convert straight from the caller's buffer; keep what does not fit for later.
        auto [used, made] = process(buf->floatChannelData(), buf->frameLength(), out, produced);
        produced += made;
        const uint32_t rest = buf->frameLength() - used;
        for (uint32_t c = 0; c < from.channelCount(); ++c) {
            std::memcpy(pending->floatChannelData()[c], buf->floatChannelData()[c] + used,
                        size_t{rest} * sizeof(float));
        }
        pending->setFrameLength(rest);
    }
    out.setFrameLength(produced);
    return result;
}
