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

// What the command line asks for.
struct Options {
    std::string deviceName = "Quillwave";
    double seconds = 0;
    double leadMs = 40;
    std::optional<double> level;
    SignalSpec settings;
    std::optional<SignalKind> kind;
    std::string wavPath;
};

// The options, or nothing on misuse.
std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc && isNumber(argv[i + 1]);
        if (arg == "--device" && i + 1 < argc) {
            o.deviceName = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            o.seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--lead-ms" && hasValue) {
            o.leadMs = std::strtod(argv[++i], nullptr);
        } else if (arg == "--level" && hasValue) {
            o.level = std::strtod(argv[++i], nullptr);
        } else if (arg == "--sine" && hasValue) {
            o.kind = SignalKind::kSine;
            o.settings.frequency = std::strtod(argv[++i], nullptr);
        } else if (arg == "--clicks") {
            o.kind = SignalKind::kClicks;
            o.settings.level = 1.0;
            if (hasValue) o.settings.clickIntervalMs = std::strtod(argv[++i], nullptr);
        } else if (arg == "--ramp") {
            o.kind = SignalKind::kRamp;
            if (hasValue) o.settings.rampStart = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--constant" && i + 1 < argc) {
            o.kind = SignalKind::kConstant;
            o.settings.level = std::strtod(argv[++i], nullptr);
        } else if (arg[0] != '-' && o.wavPath.empty()) {
            o.wavPath = arg;
        } else {
            return std::nullopt;
        }
    }
    if (o.kind.has_value() == !o.wavPath.empty() || o.seconds < 0 || !(o.leadMs >= 0)) {
        return std::nullopt;
    }
    // The level applies to generated signals other than the ramp; a WAV file plays as it is.
    if (o.level && o.kind && *o.kind != SignalKind::kRamp) o.settings.level = *o.level;
    return o;
}

std::string describeSignal(const SignalSpec& settings) {
    switch (settings.kind) {
        case SignalKind::kSine:
            return "a " + std::to_string(settings.frequency) + " Hz sine";
        case SignalKind::kClicks:
            return "clicks";
        case SignalKind::kRamp:
            return "a ramp from frame " + std::to_string(settings.rampStart);
        case SignalKind::kConstant:
            break;
    }
    return "a constant level";
}

// Fills `source` with the generated signal or the WAV file at `rate` and says what it is in
// `what`; false (with the reason printed) when the file cannot be read.
bool prepareSource(Options& o, double rate, Source& source, std::string& what) {
    if (o.kind) {
        o.settings.kind = *o.kind;
        source.generator.emplace(o.settings, rate);
        source.total = static_cast<uint64_t>(o.seconds * rate);
        what = describeSignal(o.settings);
        return true;
    }
    std::string error;
    auto wav = readWav(o.wavPath, error);
    if (!wav) {
        std::printf("qwplay: %s: %s\n", qwtools::printable(o.wavPath).c_str(), error.c_str());
        return false;
    }
    source.wav = resample(*wav, rate);
    source.total = source.wav.left.size();
    if (o.seconds > 0) source.total = std::min<uint64_t>(source.total, o.seconds * rate);
    what = qwtools::printable(o.wavPath);
    if (source.total == 0) source.total = 1;  // an empty file plays one frame of silence
    if (source.wav.left.empty()) source.wav.left = source.wav.right = {0.f};
    return true;
}

// An initialised output unit on `device` pulling `source` at `rate`, `lead` frames ahead of
// the device; 0 or the exit status of a failure (printed).
int openOutputUnit(AudioObjectID device, double rate, UInt32 lead, Source& source,
                   AudioUnit& unit) {
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &desc);
    if (component == nullptr || AudioComponentInstanceNew(component, &unit) != 0) {
        return fail("opening the output unit", kAudioUnitErr_FailedInitialization);
    }
    const UInt32 one = 1, zero = 0;
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &one,
                         4);
    AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &zero,
                         4);
    OSStatus rc = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                       kAudioUnitScope_Global, 0, &device, sizeof device);
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
    AudioUnitSetProperty(unit, kStandinUnitProperty_OutputLeadFrames, kAudioUnitScope_Global, 0,
                         &lead, sizeof lead);
    if ((rc = AudioUnitInitialize(unit)) != 0) return fail("AudioUnitInitialize", rc);
    return 0;
}

void stopOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

StandinUnitCounters counters(AudioUnit unit) {
    StandinUnitCounters c{};
    UInt32 size = sizeof c;
    AudioUnitGetProperty(unit, kStandinUnitProperty_Counters, kAudioUnitScope_Global, 0, &c, &size);
    return c;
}

// Watches the running unit until the signal has been played (the lead and two IO cycles after
// the last frame), a stop signal arrives or the device goes away (false).
bool playToTheEnd(AudioUnit unit, const Source& source, double rate, UInt32 lead,
                  UInt32 bufferFrames) {
    bool announced = false;
    std::optional<std::chrono::steady_clock::time_point> drainUntil;
    for (;;) {
        const StandinUnitCounters now = counters(unit);
        if (!announced && now.mFirstOutputKnown != 0) {
            std::printf("qwplay: first frame at output sample time %.0f\n",
                        now.mFirstOutputSampleTime);
            std::fflush(stdout);
            announced = true;
        }
        if (now.mDeviceGone != 0) {
            std::printf("qwplay: the device went away\n");
            return false;
        }
        if (gStop.load()) return true;
        if (!drainUntil && source.total != 0 && source.rendered.load() >= source.total) {
            const double drain = (lead + 2.0 * bufferFrames) / rate + 0.05;
            drainUntil = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(drain));
        }
        if (drainUntil && std::chrono::steady_clock::now() >= *drainUntil) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    if (!options) return usage();
    const auto device = qwtools::findDevice(options->deviceName);
    if (!device) {
        std::printf("qwplay: no device \"%s\"\n", qwtools::printable(options->deviceName).c_str());
        return 1;
    }
    const double rate =
        qwtools::float64Property(*device, kAudioDevicePropertyNominalSampleRate).value_or(0);
    if (!(rate > 0)) return fail("reading the device rate", kAudioHardwareBadDeviceError);
    Source source;
    std::string what;
    if (!prepareSource(*options, rate, source, what)) return 1;

    const auto lead = static_cast<UInt32>(options->leadMs * rate / 1000.0);
    AudioUnit unit = nullptr;
    if (const int failed = openOutputUnit(*device, rate, lead, source, unit)) return failed;
    stopOnSignals();
    if (const OSStatus rc = AudioOutputUnitStart(unit)) return fail("AudioOutputUnitStart", rc);
    const UInt32 bufferFrames =
        qwtools::uint32Property(*device, kAudioDevicePropertyBufferFrameSize).value_or(0);
    std::printf(
        "qwplay: playing %s into \"%s\" (device %u) at %.0f Hz, IO buffer %u frames, "
        "lead %u frames\n",
        what.c_str(), qwtools::printable(options->deviceName).c_str(), *device, rate, bufferFrames,
        lead);
    std::fflush(stdout);

    if (!playToTheEnd(unit, source, rate, lead, bufferFrames)) return 1;
    AudioOutputUnitStop(unit);
    const StandinUnitCounters last = counters(unit);
    AudioComponentInstanceDispose(unit);
    std::printf("qwplay: played %llu frames, %llu underrun frames\n",
                static_cast<unsigned long long>(source.rendered.load()),
                static_cast<unsigned long long>(last.mUnderrunFrames));
    return 0;
}
