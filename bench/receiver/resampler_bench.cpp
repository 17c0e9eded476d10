// qw-resampler-bench: the candidates for the receiver's drift-following resampler, on the job it
// does: stereo 48 kHz, the output pulled in blocks of 256 frames, the ratio changed before every
// block (300 ppm plus a slow ±5 ppm swing, as the control loop would move it). For each:
// CPU time per block (median and 99th percentile, and as a ratio to a plain copy of the block,
// measured in the same run), and the quality: a 1 kHz sine fitted in every 100 ms window with
// its frequency free; the worst and the median window's SNR.
//
//   qw-resampler-bench [--seconds N]
#include <samplerate.h>
#include <speex/speex_resampler.h>
#include <time.h>
#include <zita-resampler/vresampler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sine_windows.h"

namespace {

constexpr double kRate = 48000;
constexpr size_t kBlock = 256;

int64_t cpuNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Produces `out` frames from the input at `in` (as many input frames as it likes, up to
// `available`); returns the input frames used.
using Step = std::function<size_t(const float* in, size_t available, float* out, size_t frames,
                                  double ratio)>;

struct Result {
    std::string name;
    double medianNs = 0, p99Ns = 0;
    double worstDb = 0, medianDb = 0;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Result run(const std::string& name, const Step& step, const std::vector<float>& input,
           size_t blocks) {
    std::vector<float> output(blocks * kBlock * 2);
    std::vector<double> times;
    size_t pos = 0;
    for (size_t b = 0; b < blocks; ++b) {
        const double t = static_cast<double>(b * kBlock) / kRate;
        // output frames per input frame
        const double ratio = 1.0 + 300e-6 + 5e-6 * std::sin(2 * M_PI * t / 5.0);
        const int64_t start = cpuNs();
        pos += step(input.data() + 2 * pos, input.size() / 2 - pos, output.data() + 2 * b * kBlock,
                    kBlock, ratio);
        times.push_back(static_cast<double>(cpuNs() - start));
    }
    std::vector<float> left(blocks * kBlock);
    for (size_t i = 0; i < left.size(); ++i) left[i] = output[2 * i];
    // The pitch read at 48 kHz is 1000 / ratio; skip the first second (filters filling).
    auto fits = fitWindows(left, static_cast<size_t>(kRate), static_cast<size_t>(kRate / 10), kRate,
                           1000 / 1.0003, 0.5);
    std::vector<double> snr;
    for (const auto& f : fits) snr.push_back(f.fit.snrDb);
    Result r{name, percentile(times, 0.5), percentile(times, 0.99), 0, percentile(snr, 0.5)};
    r.worstDb = *std::min_element(snr.begin(), snr.end());
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atof(argv[2]);
    const size_t blocks = static_cast<size_t>(seconds * kRate / kBlock);
    std::vector<float> input(static_cast<size_t>((seconds + 1) * kRate) * 2);
    for (size_t i = 0; i < input.size() / 2; ++i) {
        const float v = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * i / kRate));
        input[2 * i] = input[2 * i + 1] = v;
    }
    std::vector<Result> results;

    results.push_back(run(
        "copy (baseline)",
        [](const float* in, size_t, float* out, size_t frames, double) {
            std::memcpy(out, in, frames * 2 * sizeof(float));
            return frames;
        },
        input, blocks));

    for (unsigned hlen : {16u, 32u, 48u}) {
        auto vr = std::make_shared<VResampler>();
        vr->setup(1.0, 2, hlen);
        results.push_back(run(
            "zita VResampler hlen " + std::to_string(hlen),
            [vr](const float* in, size_t available, float* out, size_t frames, double ratio) {
                vr->set_rratio(ratio);
                vr->inp_data = const_cast<float*>(in);
                vr->inp_count = static_cast<unsigned>(std::min<size_t>(available, frames * 2));
                vr->out_data = out;
                vr->out_count = static_cast<unsigned>(frames);
                const unsigned given = vr->inp_count;
                vr->process();
                return size_t{given - vr->inp_count};
            },
            input, blocks));
    }

    for (auto [type, label] : {std::pair{SRC_SINC_FASTEST, "libsamplerate SINC_FASTEST"},
                               std::pair{SRC_SINC_MEDIUM_QUALITY, "libsamplerate SINC_MEDIUM"}}) {
        int error = 0;
        std::shared_ptr<SRC_STATE> src(src_new(type, 2, &error), src_delete);
        results.push_back(run(
            label,
            [src](const float* in, size_t available, float* out, size_t frames, double ratio) {
                SRC_DATA d{};
                d.data_in = in;
                d.input_frames = static_cast<long>(std::min<size_t>(available, frames * 2));
                d.data_out = out;
                d.output_frames = static_cast<long>(frames);
                d.src_ratio = ratio;
                src_process(src.get(), &d);
                return static_cast<size_t>(d.input_frames_used);
            },
            input, blocks));
    }

    // speexdsp 1.2.1 reads out of bounds after a change to a ratio with a large denominator (a
    // crash here with 1000000/1000300), so its ratio is a fraction over 48000 (steps of 21 ppm),
    // and it is changed only every 32nd block (~170 ms): each change rebuilds its filter.
    for (bool update : {true, false}) {
        int error = 0;
        std::shared_ptr<SpeexResamplerState> sp(
            speex_resampler_init_frac(2, 1000000, 1000300, 48000, 48000, 5, &error),
            speex_resampler_destroy);
        speex_resampler_skip_zeros(sp.get());
        results.push_back(run(
            update ? "speexdsp q5, set_rate_frac every 32 blocks" : "speexdsp q5, ratio fixed",
            [sp, update, n = size_t{0}](const float* in, size_t available, float* out,
                                        size_t frames, double ratio) mutable {
                if (update && n++ % 32 == 0) {
                    const auto den = static_cast<spx_uint32_t>(std::lround(ratio * 48000));
                    speex_resampler_set_rate_frac(sp.get(), 48000, den, 48000, 48000);
                }
                spx_uint32_t inLen =
                    static_cast<spx_uint32_t>(std::min<size_t>(available, frames + 8));
                spx_uint32_t outLen = static_cast<spx_uint32_t>(frames);
                speex_resampler_process_interleaved_float(sp.get(), in, &inLen, out, &outLen);
                if (outLen < frames) std::memset(out + 2 * outLen, 0, (frames - outLen) * 8);
                return size_t{inLen};
            },
            input, blocks));
    }

    const double base = results[0].medianNs;
    std::printf("%-42s %10s %10s %8s %10s %10s\n", "resampler (256-frame blocks)", "median ns",
                "p99 ns", "x copy", "worst dB", "median dB");
    for (const auto& r : results) {
        std::printf("%-42s %10.0f %10.0f %8.1f %10.1f %10.1f\n", r.name.c_str(), r.medianNs,
                    r.p99Ns, r.medianNs / base, r.worstDb, r.medianDb);
    }
}
