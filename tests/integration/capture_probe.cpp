// capture_probe: a capture client of the audio server for the multi-process tests. Opens the
// output unit of the HAL kind on a device's input side, the way the bridge does, and checks what
// arrives against the ramp signal of qwplay.
//
//   capture_probe [--device NAME] [--seconds S] [--constant VALUE]
//
// Prints "ready" once capturing, then at the end one summary line of key=value pairs:
//   callbacks, frames, silent (frames of exact silence), ramp (frames that decode as ramp frames,
//   directly or after subtracting the --constant level), with_constant (of those, how many
//   carried the constant), constant_runs, first (ramp number of the first ramp frame),
//   last, gaps (ramp frames whose number is not the previous one plus one), offset (input
//   sample time minus ramp number of the first ramp frame), offset_changes (later ramp frames
//   with another offset), other (frames that are neither), skipped (cycles lost to overrun),
//   render_errors, max_delivery_us (ReadInput to callback), restarts (cycles flagged as the
//   first after an IO start, beyond the first).
#include <AudioToolbox/AudioToolbox.h>
#include <mach/mach_time.h>
#include <signal.h>
#include <standin/audio_server.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "hal_helpers.h"
#include "signal_generator.h"

namespace {

std::atomic<bool> gStop{false};
void onSignal(int) {
    gStop.store(true);
}

struct Probe {
    AudioUnit unit = nullptr;
    float constant = 0.f;
    bool hasConstant = false;
    float left[8192];
    float right[8192];
    // Written by the unit's thread only, read after it stopped.
    uint64_t callbacks = 0, frames = 0, silent = 0, ramp = 0, withConstant = 0, constantRuns = 0;
    uint64_t gaps = 0, offsetChanges = 0, other = 0, renderErrors = 0, restarts = 0;
    bool haveRamp = false, lastHadConstant = false;
    uint64_t first = 0, last = 0;
    double offset = 0;
    uint64_t maxDeliveryNs = 0;
    std::atomic<uint64_t> seen{0};
};

void inspect(Probe& p, float l, float r, double sampleTime) {
    std::optional<uint64_t> n = qwplay::decodeRamp(l, r);
    bool constant = false;
    if (!n && p.hasConstant) {
        n = qwplay::decodeRamp(l - p.constant, r - p.constant);
        constant = n.has_value();
    }
    if (!n) {
        if (l == 0.f && r == 0.f) {
            ++p.silent;
        } else {
            ++p.other;
        }
        p.lastHadConstant = false;
        return;
    }
    ++p.ramp;
    if (constant) {
        ++p.withConstant;
        if (!p.lastHadConstant) ++p.constantRuns;
    }
    p.lastHadConstant = constant;
    const double offset = sampleTime - static_cast<double>(*n);
    if (!p.haveRamp) {
        p.haveRamp = true;
        p.first = *n;
        p.offset = offset;
    } else {
        if (*n != p.last + 1) ++p.gaps;
        if (offset != p.offset) ++p.offsetChanges;
    }
    p.last = *n;
}

OSStatus inputProc(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp,
                   UInt32 bus, UInt32 frames, AudioBufferList*) {
    auto& p = *static_cast<Probe*>(refCon);
    const uint64_t now = mach_absolute_time();
    ++p.callbacks;
    StandinCycleInfo cycle{};
    UInt32 size = sizeof cycle;
    if (AudioUnitGetProperty(p.unit, kStandinUnitProperty_CurrentCycle, kAudioUnitScope_Global, 0,
                             &cycle, &size) == 0) {
        if (now > cycle.mReadInputHostTime && now - cycle.mReadInputHostTime > p.maxDeliveryNs) {
            p.maxDeliveryNs = now - cycle.mReadInputHostTime;
        }
        if (cycle.mFirstAfterStart != 0 && p.callbacks > 1) ++p.restarts;
    }
    if (frames > 8192) return 0;
    struct {
        UInt32 count;
        AudioBuffer buffers[2];
    } list{2, {{1, frames * 4, p.left}, {1, frames * 4, p.right}}};
    if (AudioUnitRender(p.unit, flags, stamp, bus, frames,
                        reinterpret_cast<AudioBufferList*>(&list)) != 0) {
        ++p.renderErrors;
        return 0;
    }
    for (UInt32 i = 0; i < frames; ++i) inspect(p, p.left[i], p.right[i], stamp->mSampleTime + i);
    p.frames += frames;
    p.seen.store(p.frames, std::memory_order_relaxed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string deviceName = "Quillwave";
    double seconds = 1e9;
    static Probe probe;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--device") {
            deviceName = argv[i + 1];
        } else if (arg == "--seconds") {
            seconds = std::strtod(argv[i + 1], nullptr);
        } else if (arg == "--constant") {
            probe.constant = static_cast<float>(std::strtod(argv[i + 1], nullptr));
            probe.hasConstant = true;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const auto device = qwtools::findDevice(deviceName);
    if (!device) {
        std::printf("no device\n");
        return 1;
    }
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &desc), &probe.unit);
    const UInt32 one = 1, zero = 0;
    AudioUnitSetProperty(probe.unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                         &one, 4);
    AudioUnitSetProperty(probe.unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                         &zero, 4);
    AudioUnitSetProperty(probe.unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                         0, &*device, 4);
    AudioStreamBasicDescription hw{};
    UInt32 size = sizeof hw;
    AudioUnitGetProperty(probe.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, &hw,
                         &size);
    AudioStreamBasicDescription client{
        hw.mSampleRate,
        kAudioFormatLinearPCM,
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
        4,
        1,
        4,
        2,
        32,
        0};
    AudioUnitSetProperty(probe.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                         &client, sizeof client);
    AURenderCallbackStruct cb{inputProc, &probe};
    AudioUnitSetProperty(probe.unit, kAudioOutputUnitProperty_SetInputCallback,
                         kAudioUnitScope_Global, 0, &cb, sizeof cb);
    const UInt32 maxFrames = 8192;  // what its buffers hold, above any device buffer
    AudioUnitSetProperty(probe.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                         kAudioUnitScope_Global, 0, &maxFrames, sizeof maxFrames);
    OSStatus rc = AudioUnitInitialize(probe.unit);
    if (rc == 0) rc = AudioOutputUnitStart(probe.unit);
    if (rc != 0) {
        std::printf("start failed %d\n", rc);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
    while (!gStop.load() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    StandinUnitCounters counters{};
    size = sizeof counters;
    AudioUnitGetProperty(probe.unit, kStandinUnitProperty_Counters, kAudioUnitScope_Global, 0,
                         &counters, &size);
    AudioOutputUnitStop(probe.unit);
    const Probe& p = probe;
    std::printf(
        "callbacks=%llu frames=%llu silent=%llu ramp=%llu with_constant=%llu "
        "constant_runs=%llu first=%llu last=%llu gaps=%llu offset=%.0f offset_changes=%llu "
        "other=%llu skipped=%llu render_errors=%llu max_delivery_us=%.1f restarts=%llu "
        "gone=%u\n",
        (unsigned long long)p.callbacks, (unsigned long long)p.frames, (unsigned long long)p.silent,
        (unsigned long long)p.ramp, (unsigned long long)p.withConstant,
        (unsigned long long)p.constantRuns, (unsigned long long)p.first, (unsigned long long)p.last,
        (unsigned long long)p.gaps, p.offset, (unsigned long long)p.offsetChanges,
        (unsigned long long)p.other, (unsigned long long)counters.mSkippedInputCycles,
        (unsigned long long)p.renderErrors, p.maxDeliveryNs / 1e3, (unsigned long long)p.restarts,
        counters.mDeviceGone);
    return 0;
}
