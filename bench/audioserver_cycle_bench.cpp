// The audio server's IO cycle at 256 frames / 48 kHz with a capture client (this process, an
// input unit like the bridge's) and a playing app (qwplay): wake-up jitter (actual minus planned
// wake time), server CPU per cycle, and the delay from the device's ReadInput to the capture
// client's callback; idle and with both cores loaded by two busy processes. The baseline, in the
// same run, is a bare SCHED_FIFO thread sleeping to the same deadlines: the jitter floor of this
// machine. Duration per measurement: --duration=SECONDS (default 60).
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mach/mach_time.h>
#include <spawn.h>
#include <standin/audio_server.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "audioserver_bench_util.h"

extern char** environ;

namespace {

using namespace qwbench;

constexpr UInt32 kFrames = 256;
constexpr double kRate = 48000.0;
constexpr double kPeriodNs = kFrames / kRate * 1e9;

double gBareP99[2] = {0, 0};  // idle, loaded

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// audioserverd with quillwave-driver on a socket of its own.
struct Server {
    std::string dir;
    pid_t pid = -1;
    Server() {
        char tmp[] = "/tmp/qw-bench-XXXXXX";
        dir = mkdtemp(tmp);
        const std::string socket = dir + "/audio.sock";
        setenv("QW_AUDIO_SERVER_SOCKET", socket.c_str(), 1);
        pid = spawn({std::string(QW_BUILD_DIR) + "/platform/audioserver/audioserverd", "--plugins",
                     std::string(QW_BUILD_DIR) + "/plugins"});
        for (int i = 0; i < 1000 && access(socket.c_str(), F_OK) != 0; ++i) usleep(5000);
    }
    ~Server() {
        stop(pid);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

AudioObjectID quillwave() {
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectID ids[16];
    UInt32 size = sizeof ids;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &list, 0, nullptr, &size, ids) != 0) {
        return 0;
    }
    for (UInt32 i = 0; i < size / 4; ++i) {
        const AudioObjectPropertyAddress name{kAudioObjectPropertyName,
                                              kAudioObjectPropertyScopeGlobal, 0};
        CFStringRef s = nullptr;
        UInt32 n = sizeof s;
        if (AudioObjectGetPropertyData(ids[i], &name, 0, nullptr, &n, &s) != 0 || s == nullptr) {
            continue;
        }
        const bool match =
            std::strcmp(CFStringGetCStringPtr(s, kCFStringEncodingUTF8), "Quillwave") == 0;
        CFRelease(s);
        if (match) return ids[i];
    }
    return 0;
}

// A capture client like the bridge's, timing each callback against the cycle's ReadInput.
struct Capture {
    AudioUnit unit = nullptr;
    Histogram delivery;
    bool measuring = false;
    float left[4096], right[4096];

    static OSStatus callback(void* refCon, AudioUnitRenderActionFlags* flags,
                             const AudioTimeStamp* stamp, UInt32 bus, UInt32 frames,
                             AudioBufferList*) {
        const uint64_t now = mach_absolute_time();
        auto& c = *static_cast<Capture*>(refCon);
        StandinCycleInfo cycle{};
        UInt32 size = sizeof cycle;
        AudioUnitGetProperty(c.unit, kStandinUnitProperty_CurrentCycle, kAudioUnitScope_Global, 0,
                             &cycle, &size);
        struct {
            UInt32 n;
            AudioBuffer b[2];
        } list{2, {{1, frames * 4, c.left}, {1, frames * 4, c.right}}};
        AudioUnitRender(c.unit, flags, stamp, bus, frames,
                        reinterpret_cast<AudioBufferList*>(&list));
        if (c.measuring && now > cycle.mReadInputHostTime) {
            c.delivery.record(now - cycle.mReadInputHostTime);
        }
        return 0;
    }

    bool start(AudioObjectID device) {
        AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                       kAudioUnitManufacturer_Apple, 0, 0};
        AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &desc), &unit);
        const UInt32 one = 1, zero = 0;
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                             &one, 4);
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                             &zero, 4);
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                             0, &device, 4);
        AudioUnitSetProperty(unit, kAudioDevicePropertyBufferFrameSize, kAudioUnitScope_Global, 0,
                             &kFrames, 4);
        AudioStreamBasicDescription f{
            kRate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
            4,
            1,
            4,
            2,
            32,
            0};
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &f,
                             sizeof f);
        AURenderCallbackStruct cb{callback, this};
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, &cb, sizeof cb);
        return AudioUnitInitialize(unit) == 0 && AudioOutputUnitStart(unit) == 0;
    }
    ~Capture() {
        if (unit != nullptr) AudioComponentInstanceDispose(unit);
    }
};

void BM_BareRealtimeSleep(benchmark::State& state) {
    const bool loaded = state.range(0) != 0;
    Histogram late;
    for (auto _ : state) {
        CoreLoad load(loaded);
        bareSleepJitter(durationSeconds(), kPeriodNs, late);
    }
    gBareP99[loaded] = late.percentileUs(0.99);
    state.counters["p50_us"] = late.percentileUs(0.50);
    state.counters["p99_us"] = late.percentileUs(0.99);
    state.counters["max_us"] = late.maxUs();
    state.SetLabel(loaded ? "both cores loaded" : "idle");
}

void BM_ServerIOCycle(benchmark::State& state) {
    const bool loaded = state.range(0) != 0;
    StandinDeviceIOStats s{};
    double cpuPerCycleUs = 0;
    auto capture = std::make_unique<Capture>();
    for (auto _ : state) {
        Server server;
        const AudioObjectID device = quillwave();
        if (device == 0 || !capture->start(device)) {
            state.SkipWithError("no Quillwave device: build quillwave-driver first");
            return;
        }
        const pid_t player =
            spawn({std::string(QW_BUILD_DIR) + "/tools/play/qwplay", "--sine", "440"});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        CoreLoad load(loaded);
        StandinGetDeviceIOStats(device, true, &s);
        const uint64_t cpu0 = processCpuNs(server.pid);
        capture->measuring = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(durationSeconds()));
        capture->measuring = false;
        const uint64_t cpu1 = processCpuNs(server.pid);
        StandinGetDeviceIOStats(device, false, &s);
        stop(player);
        AudioOutputUnitStop(capture->unit);
        if (s.mCycles > 0) cpuPerCycleUs = static_cast<double>(cpu1 - cpu0) / s.mCycles / 1000.0;
    }
    state.counters["jitter_p50_us"] = s.mJitterP50 / 1000.0;
    state.counters["jitter_p99_us"] = s.mJitterP99 / 1000.0;
    state.counters["jitter_max_us"] = s.mJitterMax / 1000.0;
    state.counters["jitter_p99_vs_bare"] =
        gBareP99[loaded] > 0 ? s.mJitterP99 / 1000.0 / gBareP99[loaded] : 0;
    state.counters["cpu_per_cycle_us"] = cpuPerCycleUs;
    state.counters["cpu_share_of_period"] = cpuPerCycleUs * 1000.0 / kPeriodNs;
    state.counters["work_p99_us"] = s.mWorkP99 / 1000.0;
    state.counters["delivery_p50_us"] = capture->delivery.percentileUs(0.50);
    state.counters["delivery_p99_us"] = capture->delivery.percentileUs(0.99);
    state.counters["delivery_max_us"] = capture->delivery.maxUs();
    state.counters["cycles"] = static_cast<double>(s.mCycles);
    state.counters["catch_up_cycles"] = static_cast<double>(s.mCatchUpCycles);
    state.counters["restarts"] = static_cast<double>(s.mResyncs);
    state.counters["underrun_frames"] = static_cast<double>(s.mUnderrunFrames);
    state.SetLabel(loaded ? "both cores loaded" : "idle");
}

BENCHMARK(BM_BareRealtimeSleep)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ServerIOCycle)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_BareRealtimeSleep)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ServerIOCycle)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    takeDurationOption(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
