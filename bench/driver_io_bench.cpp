// QWV_DoIOOperation ('rite' and 'read', 256 and 512 frames, inside the ring and across its end)
// against memcpy of the same bytes between the same kind of buffers. The two are timed in
// alternating batches inside one benchmark, so that other load on the machine falls on both;
// the counter "ratio" is DoIOOperation's time over memcpy's (fastest batch of each).
// The driver is loaded from its bundle in the build's plugins/ directory, through the bundle's
// Info.plist, and called through its interface table, as the audio server calls it.
#include <CoreAudio/AudioServerPlugIn.h>
#include <benchmark/benchmark.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin_loader.h"

namespace {

constexpr UInt32 kRingFrames = 384000;
constexpr UInt32 kChannels = 2;
constexpr UInt32 kInside = 1024;  // a start that does not reach the ring's end
constexpr int kBatch = 200;       // operations per timed batch

std::string bundlePath() {
    char exe[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir + "/../plugins/quillwave-driver.driver";
}

AudioServerPlugInDriverRef loadDriver() {
    const std::string path = bundlePath();
    std::string error;
    const auto plugIn = audioserver::loadPlugInBundle(path, error);
    if (!plugIn) {
        std::printf("cannot load %s: %s\n", path.c_str(), error.c_str());
        return nullptr;
    }
    (*plugIn->driver)->StartIO(plugIn->driver, 2, 1);
    return plugIn->driver;
}

AudioServerPlugInDriverRef driver() {
    static AudioServerPlugInDriverRef ref = loadDriver();
    return ref;
}

// An IO buffer of interleaved stereo frames, page aligned so that the driver's copy and the
// baseline meet the same alignment and the same distance between source and destination.
class IOBuffer {
  public:
    explicit IOBuffer(UInt32 frames)
        : samples_(
              static_cast<Float32*>(std::aligned_alloc(4096, size_t{kChannels} * 4 * frames))) {
        for (size_t i = 0; i < size_t{kChannels} * frames; ++i) samples_[i] = 0.25f;
    }
    ~IOBuffer() { std::free(samples_); }
    IOBuffer(const IOBuffer&) = delete;
    IOBuffer& operator=(const IOBuffer&) = delete;
    Float32* data() { return samples_; }

  private:
    Float32* samples_;
};

template <typename Op>
double batchNanos(Op op) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) op();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(end - start).count();
}

void doIOAgainstMemcpy(benchmark::State& state, UInt32 op, UInt32 frames, bool wrap) {
    AudioServerPlugInDriverRef ref = driver();
    if (ref == nullptr) {
        state.SkipWithError("driver not loaded");
        return;
    }
    // The baseline's ring is allocated as the driver allocates its own, so that both copies
    // meet the same alignment; it copies at the same offset as the driver's inside case.
    static auto* ring = static_cast<Float32*>(std::calloc(size_t{kChannels} * kRingFrames, 4));
    Float32* ringAt = ring + size_t{kChannels} * kInside;
    IOBuffer buffer(frames);
    IOBuffer copyBuffer(frames);
    const size_t bytes = size_t{kChannels} * 4 * frames;

    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = frames;
    const Float64 start = wrap ? kRingFrames - frames / 2 : kInside;  // wrap: half a block over
    cycle.mInputTime.mSampleTime = start;
    cycle.mOutputTime.mSampleTime = start;
    const bool toRing = op == kAudioServerPlugInIOOperationWriteMix;

    double fastestIO = 1e300, fastestCopy = 1e300;
    for (auto _ : state) {
        const double copyNanos = batchNanos([&] {
            if (toRing) {
                std::memcpy(ringAt, copyBuffer.data(), bytes);
            } else {
                std::memcpy(copyBuffer.data(), ringAt, bytes);
            }
            benchmark::DoNotOptimize(ringAt);
            benchmark::ClobberMemory();
        });
        const double ioNanos = batchNanos([&] {
            (*ref)->DoIOOperation(ref, 2, 3, 1, op, frames, &cycle, buffer.data(), nullptr);
            benchmark::DoNotOptimize(buffer.data());
            benchmark::ClobberMemory();
        });
        fastestCopy = std::min(fastestCopy, copyNanos);
        fastestIO = std::min(fastestIO, ioNanos);
        state.SetIterationTime(ioNanos * 1e-9);
    }
    state.counters["io_ns"] = fastestIO / kBatch;
    state.counters["memcpy_ns"] = fastestCopy / kBatch;
    state.counters["ratio"] = fastestIO / fastestCopy;
    state.SetItemsProcessed(state.iterations() * kBatch);
}

}  // namespace

int main(int argc, char** argv) {
    for (UInt32 op :
         {kAudioServerPlugInIOOperationWriteMix, kAudioServerPlugInIOOperationReadInput}) {
        for (UInt32 frames : {256u, 512u}) {
            for (bool wrap : {false, true}) {
                const std::string name =
                    std::string("DoIO/") +
                    (op == kAudioServerPlugInIOOperationWriteMix ? "rite" : "read") + "/" +
                    std::to_string(frames) + (wrap ? "/wrap" : "/inside");
                benchmark::RegisterBenchmark(name.c_str(), doIOAgainstMemcpy, op, frames, wrap)
                    ->UseManualTime();
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
