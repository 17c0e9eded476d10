// qw-pulse-clicks: plays numbered clicks into a PulseAudio sink as a low-latency playback
// stream (48 kHz, 16-bit stereo), written one millisecond at a time as the stream takes it.
//
//   qw-pulse-clicks --count N --interval-ms MS --log FILE [--device SINK] [--latency-frames N]
//                   [--tone]
//
// Click k is one sample frame: left = half scale, right = k mod 16384, the number the receiving
// app reports with its onset (as qwprobe's clicks do). The stream's target length is
// --latency-frames (default 256). For each click a line "click K output 0 mixed NS rendered NS"
// goes to FILE, NS being the monotonic clock in nanoseconds just before the write of the
// millisecond that holds it; "done" follows the last one. The server is $PULSE_SERVER.
// --tone plays a steady tone under the clicks, left out around each of them, and writes each
// click's number in coarse steps that survive a resampler (click_tone.h).
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "click_tone.h"
#include "monotonic_ns.h"

namespace {

constexpr uint32_t kRate = 48000;
constexpr size_t kFramesPerWrite = kRate / 1000;
constexpr long kLeadInMs = 500;
constexpr long kTailMs = 500;

void put16(uint8_t* p, int v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

int usage() {
    std::fprintf(stderr,
                 "usage: qw-pulse-clicks --count N --interval-ms MS --log FILE [--device SINK] "
                 "[--latency-frames N] [--tone]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 0, intervalMs = 0, latencyFrames = 256;
    std::string logPath, device;
    bool tone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tone") {
            tone = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        if (arg == "--count") {
            count = std::strtol(value, nullptr, 10);
        } else if (arg == "--interval-ms") {
            intervalMs = std::strtol(value, nullptr, 10);
        } else if (arg == "--latency-frames") {
            latencyFrames = std::strtol(value, nullptr, 10);
        } else if (arg == "--device") {
            device = value;
        } else if (arg == "--log") {
            logPath = value;
        } else {
            return usage();
        }
    }
    if (count < 1 || count > 100000 || intervalMs < 1 || latencyFrames < 16 ||
        latencyFrames > 96000 || logPath.empty()) {
        return usage();
    }
    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (log == nullptr) return 1;

    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(latencyFrames * 4);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "qw-pulse-clicks", PA_STREAM_PLAYBACK,
                                      device.empty() ? nullptr : device.c_str(), "clicks",
                                      &sampleSpec, nullptr, &attr, &error);
    if (stream == nullptr) {
        std::fprintf(log, "failed: %s\n", pa_strerror(error));
        std::fclose(log);
        return 1;
    }
    std::vector<uint8_t> chunk(kFramesPerWrite * 4);
    const long chunks = kLeadInMs + count * intervalMs + kTailMs;
    const auto clickIn = [&](long j) {
        const long sinceLeadIn = j - kLeadInMs;
        return sinceLeadIn >= 0 && sinceLeadIn % intervalMs == 0 &&
               sinceLeadIn / intervalMs < count;
    };
    static_assert(click_tone::kGateBefore == kFramesPerWrite &&
                  click_tone::kGateAfter == 2 * kFramesPerWrite);
    for (long j = 0; j < chunks; ++j) {
        std::fill(chunk.begin(), chunk.end(), 0);
        const long sinceLeadIn = j - kLeadInMs;
        const bool click = clickIn(j);
        if (tone && !clickIn(j - 1) && !click && !clickIn(j + 1)) {
            for (size_t f = 0; f < kFramesPerWrite; ++f) {
                const auto frame =
                    static_cast<int64_t>(static_cast<size_t>(j) * kFramesPerWrite + f);
                put16(chunk.data() + 4 * f, click_tone::sample(false, frame));
                put16(chunk.data() + 4 * f + 2, click_tone::sample(true, frame));
            }
        }
        if (click) {
            put16(chunk.data(), 16384);
            const long number = sinceLeadIn / intervalMs;
            put16(chunk.data() + 2,
                  tone ? click_tone::code(number) : static_cast<int>(number % 16384));
        }
        // Stamped before the write: a click that waits for room in the stream is already in
        // the audio system's hands, as a click in Quillwave's output IO buffer is.
        const auto before = static_cast<long long>(monotonicNs());
        if (pa_simple_write(stream, chunk.data(), chunk.size(), &error) < 0) {
            std::fprintf(log, "failed: %s\n", pa_strerror(error));
            break;
        }
        if (click) {
            std::fprintf(log, "click %ld output 0 mixed %lld rendered %lld\n",
                         sinceLeadIn / intervalMs, before, before);
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
    std::fprintf(log, "done\n");
    std::fclose(log);
    return 0;
}
