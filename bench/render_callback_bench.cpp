// The render callback from the moment the unit has rendered to the frame pushed, for 256-frame
// callbacks at 48000 and 44100 Hz, against the converter alone on the same data in the same
// run. Also the callback as first written (a new output buffer, payload and frame on every
// call) to show what recycling them saves.
//
// Prints, after Google Benchmark's table, each callback's time as a ratio of the converter's.

#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "bridge/capture.h"
#include "bridge/capture/coreaudio/render_callback.h"
#include "bridge/frame.h"
#include "bridge/frame_pool.h"
#include "bridge/globals.h"
#include "bridge/link_state.h"

// The unit has already rendered: the capture buffer holds a sine put there at set-up.
extern "C" OSStatus AudioUnitRender(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                    UInt32, UInt32, AudioBufferList*) {
    return 0;
}

namespace {

constexpr uint32_t kFrames = 256;
int gUnitTag;

AudioStreamBasicDescription clientFormat(double rate) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = 41;
    d.mBytesPerPacket = d.mBytesPerFrame = 4;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = 2;
    d.mBitsPerChannel = 32;
    return d;
}

// The bridge's sink, over sendQ and a pool of the bench's own.
FrameSink& benchSink() {
    if (!outFmt) outFmt = makeOutputFormat();
    static FramePool pool;
    static FrameSink sink{sendQ, pool, *outFmt};
    return sink;
}

// A link is present, one end of a socket pair; the callback never touches the descriptor.
void publishBenchLink() {
    static const bool published = [] {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
        publishLink(fds[0]);
        return true;
    }();
    (void)published;
}

void prepare(Capture& c, double rate) {
    prepareCapture(c, clientFormat(rate), benchSink());
    c.unit = reinterpret_cast<AudioUnit>(&gUnitTag);
    for (uint32_t i = 0; i < kCaptureFrames; ++i) {
        const float v = 0.5f * std::sin(2.0f * float(M_PI) * 1000.0f * float(i) / float(rate));
        c.inBuf->floatChannelData()[0][i] = v;
        c.inBuf->floatChannelData()[1][i] = -v;
    }
    c.inBuf->setFrameLength(kFrames);
    publishBenchLink();
}

// The sender's part, done every 32 callbacks: take the frames and give their memory back.
void drainAndRecycle(bool recycle) {
    for (Bytes& f : sendQ.drain()) {
        if (recycle) benchSink().pool.recycle(std::move(f));
    }
}

// The callback's steps 10 to 14 as first written: everything made anew on every call.
void allocatingTail(Capture& c, uint32_t frames) {
    const auto capacity =
        converterOutputCapacity(outFmt->sampleRate(), c.inFmt->sampleRate(), frames);
    auto out = PcmBuffer::make(*outFmt, capacity);
    bool given = false;
    auto input = [&](uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
        status = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
        const PcmBuffer* b = given ? nullptr : c.inBuf.get();
        given = true;
        return b;
    };
    c.conv->convert(*out, input);
    const uint32_t n = out->frameLength();
    Bytes payload;
    payload.reserve(size_t{n} * 4);
    for (uint32_t i = 0; i < n; ++i) {
        for (int ch = 0; ch < 2; ++ch) {
            const auto s = static_cast<uint16_t>(toStreamSample(out->floatChannelData()[ch][i]));
            payload.push_back(static_cast<uint8_t>(s));
            payload.push_back(static_cast<uint8_t>(s >> 8));
        }
    }
    sendQ.push(makeFrame(FrameType::audio, payload));
}

void converterAlone(benchmark::State& state) {
    Capture c;
    prepare(c, double(state.range(0)));
    const auto capacity =
        converterOutputCapacity(outFmt->sampleRate(), c.inFmt->sampleRate(), kFrames);
    for (auto _ : state) {
        c.outBuf->reuseWithCapacity(capacity);
        bool given = false;
        auto input = [&](uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
            status = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
            const PcmBuffer* b = given ? nullptr : c.inBuf.get();
            given = true;
            return b;
        };
        c.conv->convert(*c.outBuf, input);
        benchmark::DoNotOptimize(c.outBuf->floatChannelData()[0][0]);
    }
}

void renderCallbackNow(benchmark::State& state) {
    Capture c;
    prepare(c, double(state.range(0)));
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp ts{};
    uint32_t k = 0;
    for (auto _ : state) {
        renderCallback(&c, &flags, &ts, 1, kFrames, nullptr);
        if (++k % 32 == 0) drainAndRecycle(true);
    }
    sendQ.push(Bytes{});  // drain waits for at least one frame
    drainAndRecycle(true);
}

void renderCallbackAllocating(benchmark::State& state) {
    Capture c;
    prepare(c, double(state.range(0)));
    uint32_t k = 0;
    for (auto _ : state) {
        allocatingTail(c, kFrames);
        if (++k % 32 == 0) drainAndRecycle(false);
    }
    sendQ.push(Bytes{});
    drainAndRecycle(false);
}

BENCHMARK(converterAlone)->Arg(48000)->Arg(44100);
BENCHMARK(renderCallbackNow)->Arg(48000)->Arg(44100);
BENCHMARK(renderCallbackAllocating)->Arg(48000)->Arg(44100);

// Console output plus, at the end, every benchmark's time relative to the converter alone at
// the same rate.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            // With repetitions the median stands for the benchmark; otherwise its only run.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns[r.run_name.str()] = r.GetAdjustedRealTime();
                haveMedian.insert(r.run_name.str());
            } else if (r.run_type == Run::RT_Iteration && !haveMedian.count(r.run_name.str())) {
                ns[r.run_name.str()] = r.GetAdjustedRealTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratio to the converter alone (same run):\n");
        for (const char* rate : {"48000", "44100"}) {
            const double base = ns["converterAlone/" + std::string(rate)];
            for (const char* name : {"renderCallbackNow", "renderCallbackAllocating"}) {
                const double t = ns[std::string(name) + "/" + rate];
                std::printf("  %-26s %s Hz: %8.0f ns/call, converter %8.0f ns, ratio %.2f\n", name,
                            rate, t, base, base > 0 ? t / base : 0.0);
            }
        }
    }

  private:
    std::map<std::string, double> ns;
    std::set<std::string> haveMedian;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
