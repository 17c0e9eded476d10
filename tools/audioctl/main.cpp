// qwctl: lists the audio server's devices and gets or sets a device's nominal rate, IO buffer
// size, output volume and mute.
//
//   qwctl list
//   qwctl [--device NAME|UID|#ID] show | get-rate | set-rate HZ | get-buffer | set-buffer FRAMES
//   qwctl [--device ...] volume [SCALAR | --db DB] | mute [on|off]
//   qwctl [--device ...] stats [--reset] | watch [SECONDS]
//
// The device defaults to "Quillwave". Exit status 0 on success, 1 on failure, 2 on misuse.
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/AudioHardware.h>
#include <standin/audio_server.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "control_commands.h"
#include "hal_helpers.h"
#include "property_printer.h"

using namespace qwtools;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: qwctl list\n"
                 "       qwctl [--device NAME|UID|#ID] show | get-rate | set-rate HZ |\n"
                 "             get-buffer | set-buffer FRAMES | volume [SCALAR | --db DB] |\n"
                 "             mute [on|off] | stats [--reset] | watch [SECONDS]\n");
    return 2;
}

void printDeviceLine(AudioObjectID d) {
    const auto rate = float64Property(d, kAudioDevicePropertyNominalSampleRate);
    const auto frames = uint32Property(d, kAudioDevicePropertyBufferFrameSize);
    const auto running = uint32Property(d, kAudioDevicePropertyDeviceIsRunning);
    std::printf("%u \"%s\" uid=\"%s\" rate=%.0f buffer=%u in=%u out=%u running=%s\n", d,
                printable(stringProperty(d, kAudioObjectPropertyName).value_or("?")).c_str(),
                printable(stringProperty(d, kAudioDevicePropertyDeviceUID).value_or("")).c_str(),
                rate.value_or(0), frames.value_or(0),
                streamChannels(d, kAudioObjectPropertyScopeInput),
                streamChannels(d, kAudioObjectPropertyScopeOutput),
                running.value_or(0) != 0 ? "yes" : "no");
}

OSStatus listener(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses,
                  void*) {
    for (UInt32 i = 0; i < count; ++i) {
        std::printf("changed: object %u '%s' scope '%s' element %u\n", object,
                    fourCC(addresses[i].mSelector).c_str(), fourCC(addresses[i].mScope).c_str(),
                    addresses[i].mElement);
    }
    std::fflush(stdout);
    return 0;
}

// Sets a property and waits (up to 2 s) until the device reports the wanted value.
template <class T, class Read>
int setAndConfirm(AudioObjectID device, AudioObjectPropertySelector selector, T value, Read read) {
    const auto address = globalAddress(selector);
    const OSStatus rc =
        AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof value, &value);
    if (rc != 0) {
        std::printf("refused: '%s' (%d)\n", fourCC(static_cast<UInt32>(rc)).c_str(), rc);
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const auto now = read();
        if (now && *now == value) return 0;
        if (std::chrono::steady_clock::now() > deadline) {
            std::printf("the device did not take the new value\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int getRate(AudioObjectID device, Arguments) {
    const auto rate = float64Property(device, kAudioDevicePropertyNominalSampleRate);
    if (!rate) return 1;
    std::printf("%.0f\n", *rate);
    return 0;
}

int setRate(AudioObjectID device, Arguments args) {
    if (args.empty()) return usage();
    const Float64 rate = std::strtod(args[0], nullptr);
    return setAndConfirm(device, kAudioDevicePropertyNominalSampleRate, rate, [device] {
        return float64Property(device, kAudioDevicePropertyNominalSampleRate);
    });
}

int getBuffer(AudioObjectID device, Arguments) {
    const auto frames = uint32Property(device, kAudioDevicePropertyBufferFrameSize);
    if (!frames) return 1;
    std::printf("%u\n", *frames);
    return 0;
}

int setBuffer(AudioObjectID device, Arguments args) {
    if (args.empty()) return usage();
    const auto frames = static_cast<UInt32>(std::strtoul(args[0], nullptr, 10));
    const auto address = globalAddress(kAudioDevicePropertyBufferFrameSize);
    const OSStatus rc =
        AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof frames, &frames);
    if (rc != 0) {
        std::printf("refused: '%s' (%d)\n", fourCC(static_cast<UInt32>(rc)).c_str(), rc);
        return 1;
    }
    std::printf("%u\n", uint32Property(device, kAudioDevicePropertyBufferFrameSize).value_or(0));
    return 0;
}

int showStats(AudioObjectID device, Arguments args) {
    const bool reset = !args.empty() && std::string(args[0]) == "--reset";
    StandinDeviceIOStats s{};
    if (StandinGetDeviceIOStats(device, reset, &s) != 0) return 1;
    std::printf(
        "running=%u rate=%.0f buffer=%u cycles=%llu wake-ups=%llu catch-up=%llu "
        "restarts=%llu underrun-frames=%llu\n",
        s.mRunning, s.mSampleRate, s.mIOFrameSize, static_cast<unsigned long long>(s.mCycles),
        static_cast<unsigned long long>(s.mWakeUps),
        static_cast<unsigned long long>(s.mCatchUpCycles),
        static_cast<unsigned long long>(s.mResyncs),
        static_cast<unsigned long long>(s.mUnderrunFrames));
    std::printf("wake-up jitter us: p50=%.1f p99=%.1f max=%.1f\n", s.mJitterP50 / 1e3,
                s.mJitterP99 / 1e3, s.mJitterMax / 1e3);
    std::printf("cycle work us: p50=%.1f p99=%.1f max=%.1f\n", s.mWorkP50 / 1e3, s.mWorkP99 / 1e3,
                s.mWorkMax / 1e3);
    return 0;
}

int watch(AudioObjectID device, Arguments args) {
    const double seconds = !args.empty() ? std::strtod(args[0], nullptr) : 1e9;
    const AudioObjectPropertyAddress any{kAudioObjectPropertySelectorWildcard,
                                         kAudioObjectPropertyScopeWildcard,
                                         kAudioObjectPropertyElementWildcard};
    AudioObjectAddPropertyListener(device, &any, listener, nullptr);
    for (AudioObjectID s : objectList(device, kAudioDevicePropertyStreams)) {
        AudioObjectAddPropertyListener(s, &any, listener, nullptr);
    }
    for (AudioObjectID c : controlsOf(device)) {
        AudioObjectAddPropertyListener(c, &any, listener, nullptr);
    }
    std::printf("watching device %u\n", device);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 0;
}

int show(AudioObjectID device, Arguments) {
    printObject(device);
    printControls(device);
    return 0;
}

int list() {
    const auto devices = allDevices();
    if (devices.empty()) std::printf("no devices\n");
    for (AudioObjectID d : devices) printDeviceLine(d);
    return 0;
}

// The commands on one device, by name.
struct Command {
    std::string_view name;
    int (*run)(AudioObjectID device, Arguments args);
};
constexpr Command kDeviceCommands[] = {
    {"show", show},
    {"get-rate", getRate},
    {"set-rate", setRate},
    {"get-buffer", getBuffer},
    {"set-buffer", setBuffer},
    {"volume", volumeCommand},
    {"mute", muteCommand},
    {"stats", showStats},
    {"watch", watch},
};

}  // namespace

int main(int argc, char** argv) {
    std::string which = "Quillwave";
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--device") {
        which = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usage();
    const std::string_view command = argv[i++];
    if (command == "list") return list();
    const auto device = findDevice(which);
    if (!device) {
        std::printf("no device \"%s\"\n", printable(which).c_str());
        return 1;
    }
    for (const Command& c : kDeviceCommands) {
        if (c.name == command) return c.run(*device, Arguments(argv + i, argv + argc));
    }
    return usage();
}
