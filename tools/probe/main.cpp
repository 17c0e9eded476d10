// qwprobe: measuring the whole road on this machine.
//
//   qwprobe clicks [--device NAME] [--count N] [--interval-ms MS] [--level L]
//       plays numbered clicks into the device; prints "click N output T mixed NS rendered NS"
//       per click (NS: host time in ns; mixed: the server's IO cycle that took the click)
//   qwprobe ramp FILE.wav            checks a received sample-counting ramp
//   qwprobe sine FILE.wav HZ [SKIP]  checks a received sine (frequency, SNR)
//   qwprobe latency CLICKS ONSETS    matches clicks with the receiving app's "onset" lines
//   qwprobe hold N [--device NAME]   keeps N capture sessions open on the device until killed
//       (the server takes 64 per device, so N = 64 makes the next client's start fail)
//
// Exit status: 0, 1 when the check or the device fails, 2 on misuse.
#include <AudioToolbox/AudioToolbox.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "click_player.h"
#include "hal_helpers.h"
#include "received_audio.h"

using namespace qwprobe;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: qwprobe clicks [--device NAME] [--count N] [--interval-ms MS] "
                 "[--level L]\n"
                 "       qwprobe ramp FILE.wav | sine FILE.wav HZ [SKIP_S] | latency CLICKS "
                 "ONSETS\n"
                 "       qwprobe hold N [--device NAME]\n");
    return 2;
}

std::string slurp(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int clicks(int argc, char** argv) {
    std::string name = "Quillwave";
    ClickPlan plan;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--device") {
            name = argv[i + 1];
        } else if (arg == "--count") {
            plan.count = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (arg == "--interval-ms") {
            plan.intervalMs = std::strtod(argv[i + 1], nullptr);
        } else if (arg == "--level") {
            plan.level = std::strtof(argv[i + 1], nullptr);
        } else {
            return usage();
        }
    }
    if (plan.count == 0 || plan.count > 100000 || !(plan.intervalMs >= 1)) return usage();
    const auto device = qwtools::findDevice(name);
    if (!device) {
        std::printf("qwprobe: no device \"%s\"\n", qwtools::printable(name).c_str());
        return 1;
    }
    std::vector<PlayedClick> played;
    std::string error;
    if (!playClicks(*device, plan, played, error)) {
        std::printf("qwprobe: %s\n", error.c_str());
        return 1;
    }
    for (const PlayedClick& c : played) {
        std::printf("click %llu output %.0f mixed %lld rendered %lld\n",
                    static_cast<unsigned long long>(c.number), c.outputSampleTime,
                    static_cast<long long>(c.mixedNs), static_cast<long long>(c.renderedNs));
    }
    std::printf("qwprobe: %zu clicks played\n", played.size());
    return played.size() == plan.count ? 0 : 1;
}

int ramp(const char* path) {
    std::string error;
    const auto pcm = readPcm16Wav(path, error);
    if (!pcm) {
        std::printf("qwprobe: %s\n", error.c_str());
        return 1;
    }
    const RampCheck c = checkRamp(*pcm);
    std::printf(
        "received %.2f s; ramp frames %llu (first %lld, last %lld); lost %llu; repeated %llu; "
        "foreign %llu; breaks %llu\n",
        static_cast<double>(c.sampleFramesReceived) / pcm->sampleRate,
        static_cast<unsigned long long>(c.rampFrames),
        c.first ? static_cast<long long>(*c.first) : -1,
        c.last ? static_cast<long long>(*c.last) : -1, static_cast<unsigned long long>(c.lost),
        static_cast<unsigned long long>(c.repeated), static_cast<unsigned long long>(c.foreign),
        static_cast<unsigned long long>(c.breaks));
    return c.rampFrames > 0 ? 0 : 1;
}

int sine(int argc, char** argv) {
    std::string error;
    const auto pcm = readPcm16Wav(argv[2], error);
    if (!pcm) {
        std::printf("qwprobe: %s\n", error.c_str());
        return 1;
    }
    const double hz = std::strtod(argv[3], nullptr);
    const double skip = argc > 4 ? std::strtod(argv[4], nullptr) : 0.1;
    const auto c = checkSine(*pcm, hz, skip);
    if (!c) {
        std::printf("qwprobe: no sine found\n");
        return 1;
    }
    std::printf("sine %.2f s; frequency %.3f Hz; amplitude %.4f; SNR %.1f dB\n", c->seconds,
                c->measuredFrequency, c->amplitude, c->snrDb);
    return 0;
}

int latency(const char* clicksPath, const char* onsetsPath) {
    const auto s = clickLatency(parseClicks(slurp(clicksPath)), parseOnsets(slurp(onsetsPath)));
    std::printf(
        "latency over %zu clicks (%zu unmatched): median %.2f ms, p99 %.2f ms, min %.2f "
        "ms, max %.2f ms\n",
        s.matched, s.unmatched, s.medianMs, s.p99Ms, s.minMs, s.maxMs);
    return s.matched > 0 ? 0 : 1;
}

OSStatus noInput(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                 AudioBufferList*) {
    return 0;
}

int hold(int argc, char** argv) {
    const long count = std::strtol(argv[2], nullptr, 10);
    std::string name = "Quillwave";
    if (argc == 5 && std::string(argv[3]) == "--device") {
        name = argv[4];
    } else if (argc != 3) {
        return usage();
    }
    if (count < 1 || count > 256) return usage();
    const auto device = qwtools::findDevice(name);
    if (!device) {
        std::printf("qwprobe: no device \"%s\"\n", qwtools::printable(name).c_str());
        return 1;
    }
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &desc);
    long held = 0;
    for (long i = 0; i < count && component != nullptr; ++i) {
        AudioUnit unit = nullptr;
        if (AudioComponentInstanceNew(component, &unit) != 0) break;
        const UInt32 on = 1, off = 0;
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on,
                             4);
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                             &off, 4);
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                             0, &*device, sizeof *device);
        AURenderCallbackStruct cb{noInput, nullptr};
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, &cb, sizeof cb);
        if (AudioUnitInitialize(unit) != 0 || AudioOutputUnitStart(unit) != 0) break;
        ++held;
    }
    std::printf("qwprobe: holding %ld capture sessions\n", held);
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "clicks") return clicks(argc, argv);
    if (command == "ramp" && argc == 3) return ramp(argv[2]);
    if (command == "sine" && (argc == 4 || argc == 5)) return sine(argc, argv);
    if (command == "latency" && argc == 4) return latency(argv[2], argv[3]);
    if (command == "hold" && argc >= 3) return hold(argc, argv);
    return usage();
}
