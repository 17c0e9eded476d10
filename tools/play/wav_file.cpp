#include "wav_file.h"

#include <speex/speex_resampler.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/little_endian.h"

namespace qwplay {
namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 31;

float sampleAt(const uint8_t* p, uint16_t bits, bool isFloat) {
    if (isFloat) {
        float f;
        std::memcpy(&f, p, 4);
        return std::isfinite(f) ? f : 0.f;
    }
    switch (bits) {
        case 16:
            return static_cast<float>(static_cast<int16_t>(qw::getLe16(p))) / 32768.0f;
        case 24: {
            const uint32_t u =
                (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
            return static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
        }
        default:
            return static_cast<float>(static_cast<int32_t>(qw::getLe32(p)) / 2147483648.0);
    }
}

}  // namespace

std::optional<WavAudio> parseWav(const std::vector<uint8_t>& bytes, std::string& error) {
    const size_t n = bytes.size();
    const uint8_t* b = bytes.data();
    if (n < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) {
        error = "not a RIFF/WAVE file";
        return std::nullopt;
    }
    uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    for (size_t at = 12; at + 8 <= n;) {
        const uint32_t size = qw::getLe32(b + at + 4);
        const size_t body = at + 8;
        const size_t available = std::min<size_t>(size, n - body);
        if (std::memcmp(b + at, "fmt ", 4) == 0 && available >= 16) {
            format = qw::getLe16(b + body);
            channels = qw::getLe16(b + body + 2);
            rate = qw::getLe32(b + body + 4);
            blockAlign = qw::getLe16(b + body + 12);
            bits = qw::getLe16(b + body + 14);
            if (format == 0xFFFE && available >= 26)
                format = qw::getLe16(b + body + 24);  // sub-format
        } else if (std::memcmp(b + at, "data", 4) == 0) {
            data = b + body;
            dataSize = available;  // a truncated file keeps what it has
        }
        at = body + size + (size & 1);
        if (at < body) break;  // overflow
    }
    const bool isFloat = format == 3;
    if (data == nullptr || channels == 0 || rate == 0 || rate > 1000000 ||
        !((format == 1 && (bits == 16 || bits == 24 || bits == 32)) || (isFloat && bits == 32)) ||
        blockAlign != channels * (bits / 8)) {
        error = "unsupported WAV format (PCM 16/24/32-bit or float 32-bit expected)";
        return std::nullopt;
    }
    WavAudio audio;
    audio.sampleRate = rate;
    const size_t frames = dataSize / blockAlign;
    audio.left.resize(frames);
    audio.right.resize(frames);
    const size_t bytesPerSample = bits / 8;
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* frame = data + i * blockAlign;
        audio.left[i] = sampleAt(frame, bits, isFloat);
        audio.right[i] =
            channels > 1 ? sampleAt(frame + bytesPerSample, bits, isFloat) : audio.left[i];
    }
    return audio;
}

std::optional<WavAudio> readWav(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size < 0 || static_cast<size_t>(size) > kMaxFileBytes) {
        error = "file too large";
        return std::nullopt;
    }
    in.seekg(0);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    return parseWav(bytes, error);
}

WavAudio resample(const WavAudio& audio, double sampleRate) {
    WavAudio out;
    out.sampleRate = sampleRate;
    if (audio.sampleRate == sampleRate || audio.left.empty()) {
        out.left = audio.left;
        out.right = audio.right;
        return out;
    }
    int err = 0;
    SpeexResamplerState* st = speex_resampler_init(2, static_cast<spx_uint32_t>(audio.sampleRate),
                                                   static_cast<spx_uint32_t>(sampleRate), 5, &err);
    if (st == nullptr) return out;
    const size_t frames = audio.left.size();
    std::vector<float> interleaved(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = audio.left[i];
        interleaved[2 * i + 1] = audio.right[i];
    }
    const auto wanted = static_cast<size_t>(std::ceil(frames * sampleRate / audio.sampleRate));
    const size_t latency = static_cast<size_t>(speex_resampler_get_output_latency(st));
    std::vector<float> converted((wanted + latency + 64) * 2);
    spx_uint32_t inFrames = static_cast<spx_uint32_t>(frames);
    spx_uint32_t outFrames = static_cast<spx_uint32_t>(converted.size() / 2);
    speex_resampler_process_interleaved_float(st, interleaved.data(), &inFrames, converted.data(),
                                              &outFrames);
    // Flush the filter with silence so the end of the audio comes out too.
    std::vector<float> zeros(static_cast<size_t>(speex_resampler_get_input_latency(st)) * 2, 0.f);
    spx_uint32_t zeroFrames = static_cast<spx_uint32_t>(zeros.size() / 2);
    spx_uint32_t tailFrames = static_cast<spx_uint32_t>(converted.size() / 2) - outFrames;
    speex_resampler_process_interleaved_float(
        st, zeros.data(), &zeroFrames, converted.data() + size_t{outFrames} * 2, &tailFrames);
    speex_resampler_destroy(st);
    const size_t produced = outFrames + tailFrames;
    const size_t skip = std::min(latency, produced);
    const size_t keep = std::min(wanted, produced - skip);
    out.left.resize(keep);
    out.right.resize(keep);
    for (size_t i = 0; i < keep; ++i) {
        out.left[i] = converted[2 * (skip + i)];
        out.right[i] = converted[2 * (skip + i) + 1];
    }
    return out;
}

}  // namespace qwplay
