#include "click_player.h"

#include <AudioToolbox/AudioToolbox.h>
#include <mach/mach_time.h>
#include <standin/audio_server.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "hal_helpers.h"
#include "osutil/host_time.h"

namespace qwprobe {

namespace {

constexpr size_t kMaxStamps = 1 << 17;  // input cycles remembered (about 11 minutes at 256)

struct State {
    ClickPlan plan;
    uint64_t period = 1;
    uint64_t position = 0;  // frames produced since the first valid time stamp
    std::vector<PlayedClick> clicks;
    std::atomic<uint32_t> placed{0};
    std::vector<double> stampSample;
    std::vector<uint64_t> stampHost;
    std::atomic<size_t> stamps{0};
};

int64_t hostToNs(uint64_t ticks) {
    return static_cast<int64_t>(qw::hostTicksToNs(ticks));
}

OSStatus renderClicks(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* stamp,
                      UInt32, UInt32 frames, AudioBufferList* data) {
    auto& s = *static_cast<State*>(refCon);
    if (data == nullptr || data->mNumberBuffers < 2) return kAudioUnitErr_InvalidParameter;
    auto* left = static_cast<float*>(data->mBuffers[0].mData);
    auto* right = static_cast<float*>(data->mBuffers[1].mData);
    for (UInt32 i = 0; i < frames; ++i) left[i] = right[i] = 0.f;
    // Clicks start once the player knows where its frames will play.
    if (stamp == nullptr || (stamp->mFlags & kAudioTimeStampSampleTimeValid) == 0) return 0;
    uint32_t k = s.placed.load(std::memory_order_relaxed);
    for (UInt32 i = 0; i < frames; ++i, ++s.position) {
        if (s.position % s.period != 0 || k >= s.plan.count) continue;
        left[i] = s.plan.level;
        right[i] = static_cast<float>(k % 16384 + 1) / 32768.0f;
        s.clicks[k] = {k, stamp->mSampleTime + i, -1, hostToNs(mach_absolute_time())};
        ++k;
    }
    s.placed.store(k, std::memory_order_release);
    return 0;
}

OSStatus recordTimeline(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* stamp,
                        UInt32, UInt32, AudioBufferList*) {
    auto& s = *static_cast<State*>(refCon);
    const size_t n = s.stamps.load(std::memory_order_relaxed);
    if (n < kMaxStamps && stamp != nullptr && (stamp->mFlags & kAudioTimeStampHostTimeValid)) {
        s.stampSample[n] = stamp->mSampleTime;
        s.stampHost[n] = stamp->mHostTime;
        s.stamps.store(n + 1, std::memory_order_release);
    }
    return 0;
}

AudioUnit newUnit(bool input, AudioObjectID device, double rate, AURenderCallbackStruct cb) {
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &desc);
    AudioUnit unit = nullptr;
    if (component == nullptr || AudioComponentInstanceNew(component, &unit) != 0) return nullptr;
    const UInt32 on = 1, off = 0;
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                         input ? &on : &off, 4);
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                         input ? &off : &on, 4);
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                         &device, sizeof device);
    AudioStreamBasicDescription format{rate, kAudioFormatLinearPCM, 41, 4, 1, 4, 2, 32, 0};
    AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat,
                         input ? kAudioUnitScope_Output : kAudioUnitScope_Input, input ? 1 : 0,
                         &format, sizeof format);
    AudioUnitSetProperty(
        unit,
        input ? kAudioOutputUnitProperty_SetInputCallback : kAudioUnitProperty_SetRenderCallback,
        input ? kAudioUnitScope_Global : kAudioUnitScope_Input, 0, &cb, sizeof cb);
    if (AudioUnitInitialize(unit) != 0 || AudioOutputUnitStart(unit) != 0) {
        AudioComponentInstanceDispose(unit);
        return nullptr;
    }
    return unit;
}

}  // namespace

bool playClicks(AudioObjectID device, const ClickPlan& plan, std::vector<PlayedClick>& clicks,
                std::string& error) {
    const double rate =
        qwtools::float64Property(device, kAudioDevicePropertyNominalSampleRate).value_or(0);
    const UInt32 ioFrames =
        qwtools::uint32Property(device, kAudioDevicePropertyBufferFrameSize).value_or(0);
    if (!(rate > 0) || ioFrames == 0) {
        error = "cannot read the device's rate and buffer size";
        return false;
    }
    State s;
    s.plan = plan;
    s.period = std::max<uint64_t>(1, std::llround(plan.intervalMs / 1000.0 * rate));
    s.clicks.resize(plan.count);
    s.stampSample.resize(kMaxStamps);
    s.stampHost.resize(kMaxStamps);

    AudioUnit timeline = newUnit(true, device, rate, {recordTimeline, &s});
    AudioUnit player = newUnit(false, device, rate, {renderClicks, &s});
    if (timeline == nullptr || player == nullptr) {
        error = "cannot open the device for playing and capturing";
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    const double seconds = plan.count * plan.intervalMs / 1000.0 + 5.0;
    while (s.placed.load(std::memory_order_acquire) < plan.count &&
           std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Let the last clicks be mixed and captured before stopping.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    AudioOutputUnitStop(player);
    AudioOutputUnitStop(timeline);
    AudioComponentInstanceDispose(player);
    AudioComponentInstanceDispose(timeline);

    // The cycle that mixes output time T has main time M with T in [M + F, M + 2F); an input
    // stamp (S, H) belongs to the cycle with main time S + F, so M = S + F + kF for some k.
    const size_t stamps = s.stamps.load(std::memory_order_acquire);
    const double nsPerFrame = 1e9 / rate;
    clicks.clear();
    for (uint32_t k = 0; k < s.placed.load(std::memory_order_acquire); ++k) {
        PlayedClick c = s.clicks[k];
        const double t = c.outputSampleTime;
        // The latest stamp at or before the click on the same timeline.
        for (size_t i = stamps; i-- > 0;) {
            if (s.stampSample[i] > t) continue;
            const double mainOfStamp = s.stampSample[i] + ioFrames;
            double offset = std::fmod(t - ioFrames - mainOfStamp, ioFrames);
            if (offset < 0) offset += ioFrames;
            const double m = t - ioFrames - offset;
            c.mixedNs = hostToNs(s.stampHost[i]) +
                        static_cast<int64_t>(std::llround((m - s.stampSample[i]) * nsPerFrame));
            break;
        }
        clicks.push_back(c);
    }
    return true;
}

}  // namespace qwprobe
