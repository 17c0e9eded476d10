// qwplay: plays a WAV file or a generated signal into an audio device as an output client of
// the audio server, paced by the server's IO cycles.
//
//   qwplay [--device NAME] [--seconds S] [--lead-ms MS] [--level L]
//          (--sine HZ | --clicks [MS] | --ramp [FIRST] | --constant VALUE | FILE.wav)
//
// Lines on standard output: what plays where; "first frame at output sample time T" once the
// server has taken the first frame; a summary at the end. Stops after S seconds of signal (a
// WAV file: at its end), or on SIGINT/SIGTERM. Exit status 1 when the device is missing or
// refuses to play, 2 on misuse.
#include <AudioToolbox/AudioToolbox.h>
#include <signal.h>
#include <standin/audio_server.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "hal_helpers.h"
#include "signal_generator.h"
#include "wav_file.h"

using namespace qwplay;

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) {
    gStop.store(true);
}

struct Source {
    std::optional<SignalGenerator> generator;
    WavAudio wav;
    uint64_t total = 0;  // frames of signal; 0: no end
    std::atomic<uint64_t> rendered{0};
};

OSStatus renderProc(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                    UInt32 frames, AudioBufferList* data) {
    auto& source = *static_cast<Source*>(refCon);
    if (data == nullptr || data->mNumberBuffers < 2) return kAudioUnitErr_InvalidParameter;
    auto* left = static_cast<float*>(data->mBuffers[0].mData);
    auto* right = static_cast<float*>(data->mBuffers[1].mData);
    const uint64_t done = source.rendered.load(std::memory_order_relaxed);
    uint32_t n = frames;
    if (source.total != 0)
        n = static_cast<uint32_t>(std::min<uint64_t>(frames, source.total - done));
    if (source.generator) {
        source.generator->render(left, right, n);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            left[i] = source.wav.left[done + i];
            right[i] = source.wav.right[done + i];
        }
    }
    for (uint32_t i = n; i < frames; ++i) left[i] = right[i] = 0.f;  // after the end: silence
    source.rendered.store(done + n, std::memory_order_relaxed);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: qwplay [--device NAME] [--seconds S] [--lead-ms MS] [--level L]\n"
                 "              (--sine HZ | --clicks [MS] | --ramp [FIRST] | --constant VALUE | "
                 "FILE.wav)\n");
    return 2;
}

bool isNumber(const char* text) {
    char* end = nullptr;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}

int fail(const char* what, OSStatus rc) {
    std::printf("qwplay: %s failed (%d '%s')\n", what, rc,
                qwtools::fourCC(static_cast<UInt32>(rc)).c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string deviceName = "Quillwave";
    double seconds = 0, leadMs = 40;
    std::optional<double> level;
    SignalSpec settings;
    std::optional<SignalKind> kind;
    std::string wavPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc && isNumber(argv[i + 1]);
        if (arg == "--device" && i + 1 < argc) {
            deviceName = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--lead-ms" && hasValue) {
            leadMs = std::strtod(argv[++i], nullptr);
        } else if (arg == "--level" && hasValue) {
            level = std::strtod(argv[++i], nullptr);
        } else if (arg == "--sine" && hasValue) {
            kind = SignalKind::kSine;
            settings.frequency = std::strtod(argv[++i], nullptr);
        } else if (arg == "--clicks") {
            kind = SignalKind::kClicks;
            settings.level = 1.0;
            if (hasValue) settings.clickIntervalMs = std::strtod(argv[++i], nullptr);
        } else if (arg == "--ramp") {
            kind = SignalKind::kRamp;
            if (hasValue) settings.rampStart = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--constant" && i + 1 < argc) {
            kind = SignalKind::kConstant;
            settings.level = std::strtod(argv[++i], nullptr);
        } else if (arg[0] != '-' && wavPath.empty()) {
            wavPath = arg;
        } else {
            return usage();
        }
    }
    if (kind.has_value() == !wavPath.empty() || seconds < 0 || !(leadMs >= 0)) return usage();
    if (level && *kind != SignalKind::kRamp) settings.level = *level;

    const auto device = qwtools::findDevice(deviceName);
    if (!device) {
        std::printf("qwplay: no device \"%s\"\n", qwtools::printable(deviceName).c_str());
        return 1;
    }
    const double rate =
        qwtools::float64Property(*device, kAudioDevicePropertyNominalSampleRate).value_or(0);
    if (!(rate > 0)) return fail("reading the device rate", kAudioHardwareBadDeviceError);

    Source source;
    std::string what;
    if (kind) {
        settings.kind = *kind;
        source.generator.emplace(settings, rate);
        source.total = static_cast<uint64_t>(seconds * rate);
        what = *kind == SignalKind::kSine ? "a " + std::to_string(settings.frequency) + " Hz sine"
               : *kind == SignalKind::kClicks ? std::string("clicks")
               : *kind == SignalKind::kRamp
                   ? "a ramp from frame " + std::to_string(settings.rampStart)
                   : std::string("a constant level");
    } else {
        std::string error;
        auto wav = readWav(wavPath, error);
        if (!wav) {
            std::printf("qwplay: %s: %s\n", qwtools::printable(wavPath).c_str(), error.c_str());
            return 1;
        }
        source.wav = resample(*wav, rate);
        source.total = source.wav.left.size();
        if (seconds > 0) source.total = std::min<uint64_t>(source.total, seconds * rate);
        what = qwtools::printable(wavPath);
        if (source.total == 0) source.total = 1;  // an empty file plays one frame of silence
        if (source.wav.left.empty()) source.wav.left = source.wav.right = {0.f};
    }

    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &desc);
    AudioUnit unit = nullptr;
    if (component == nullptr || AudioComponentInstanceNew(component, &unit) != 0) {
        return fail("opening the output unit", kAudioUnitErr_FailedInitialization);
    }
    const UInt32 one = 1, zero = 0;
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &one,
                         4);
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &zero,
                         4);
    OSStatus rc = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                       kAudioUnitScope_Global, 0, &*device, sizeof *device);
    if (rc != 0) return fail("choosing the device", rc);
    AudioStreamBasicDescription format{
        rate,
        kAudioFormatLinearPCM,
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
        4,
        1,
        4,
        2,
        32,
        0};
    rc = AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                              &format, sizeof format);
    if (rc != 0) return fail("setting the format", rc);
    AURenderCallbackStruct callback{renderProc, &source};
    AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                         &callback, sizeof callback);
    const auto lead = static_cast<UInt32>(leadMs * rate / 1000.0);
    AudioUnitSetProperty(unit, kStandinUnitProperty_OutputLeadFrames, kAudioUnitScope_Global, 0,
                         &lead, sizeof lead);
    if ((rc = AudioUnitInitialize(unit)) != 0) return fail("AudioUnitInitialize", rc);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if ((rc = AudioOutputUnitStart(unit)) != 0) return fail("AudioOutputUnitStart", rc);
    const UInt32 bufferFrames =
        qwtools::uint32Property(*device, kAudioDevicePropertyBufferFrameSize).value_or(0);
    std::printf(
        "qwplay: playing %s into \"%s\" (device %u) at %.0f Hz, IO buffer %u frames, "
        "lead %u frames\n",
        what.c_str(), qwtools::printable(deviceName).c_str(), *device, rate, bufferFrames, lead);
    std::fflush(stdout);

    bool announced = false;
    std::optional<std::chrono::steady_clock::time_point> drainUntil;
    StandinUnitCounters counters{};
    for (;;) {
        UInt32 size = sizeof counters;
        AudioUnitGetProperty(unit, kStandinUnitProperty_Counters, kAudioUnitScope_Global, 0,
                             &counters, &size);
        if (!announced && counters.mFirstOutputKnown != 0) {
            std::printf("qwplay: first frame at output sample time %.0f\n",
                        counters.mFirstOutputSampleTime);
            std::fflush(stdout);
            announced = true;
        }
        if (counters.mDeviceGone != 0) {
            std::printf("qwplay: the device went away\n");
            return 1;
        }
        if (gStop.load()) break;
        if (!drainUntil && source.total != 0 && source.rendered.load() >= source.total) {
            // Everything is queued: wait until the server has played the lead and two cycles.
            const double drain = (lead + 2.0 * bufferFrames) / rate + 0.05;
            drainUntil = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(drain));
        }
        if (drainUntil && std::chrono::steady_clock::now() >= *drainUntil) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    AudioOutputUnitStop(unit);
    UInt32 size = sizeof counters;
    AudioUnitGetProperty(unit, kStandinUnitProperty_Counters, kAudioUnitScope_Global, 0, &counters,
                         &size);
    AudioComponentInstanceDispose(unit);
    std::printf("qwplay: played %llu frames, %llu underrun frames\n",
                static_cast<unsigned long long>(source.rendered.load()),
                static_cast<unsigned long long>(counters.mUnderrunFrames));
    return 0;
}
