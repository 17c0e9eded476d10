#include "control_commands.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hal_helpers.h"

namespace qwtools {
namespace {

int refused(OSStatus rc) {
    std::printf("refused: '%s' (%d)\n", fourCC(static_cast<UInt32>(rc)).c_str(), rc);
    return 1;
}

int missing(const char* what) {
    std::printf("the device has no output %s control\n", what);
    return 1;
}

int printVolume(AudioObjectID control) {
    const auto scalar = float32Property(control, kAudioLevelControlPropertyScalarValue);
    const auto db = float32Property(control, kAudioLevelControlPropertyDecibelValue);
    if (!scalar || !db) return 1;
    std::printf("volume %.4f (%.2f dB)\n", *scalar, *db);
    return 0;
}

int printMute(AudioObjectID control) {
    const auto on = uint32Property(control, kAudioBooleanControlPropertyValue);
    if (!on) return 1;
    std::printf("mute %s\n", *on != 0 ? "on" : "off");
    return 0;
}

// A number that is all of `text`.
std::optional<Float32> number(const char* text) {
    char* end = nullptr;
    const double x = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(x)) return std::nullopt;
    return static_cast<Float32>(x);
}

int usage() {
    std::fprintf(stderr, "usage: qwctl volume [SCALAR | --db DB] | mute [on|off]\n");
    return 2;
}

}  // namespace

std::optional<AudioObjectID> outputControl(AudioObjectID device, AudioClassID classID) {
    for (AudioObjectID control : controlsOf(device)) {
        if (uint32Property(control, kAudioObjectPropertyClass) == classID &&
            uint32Property(control, kAudioControlPropertyScope) ==
                kAudioObjectPropertyScopeOutput) {
            return control;
        }
    }
    return std::nullopt;
}

std::vector<AudioObjectID> controlsOf(AudioObjectID device) {
    return objectList(device, kAudioObjectPropertyControlList);
}

int volumeCommand(AudioObjectID device, Arguments args) {
    const auto control = outputControl(device, kAudioVolumeControlClassID);
    if (!control) return missing("volume");
    if (args.empty()) return printVolume(*control);
    const bool decibels = std::string(args[0]) == "--db";
    if (args.size() != (decibels ? 2u : 1u)) return usage();
    const auto value = number(args[decibels ? 1 : 0]);
    if (!value) return usage();
    const auto address = globalAddress(decibels ? kAudioLevelControlPropertyDecibelValue
                                                : kAudioLevelControlPropertyScalarValue);
    const Float32 x = *value;
    const OSStatus rc = AudioObjectSetPropertyData(*control, &address, 0, nullptr, sizeof x, &x);
    return rc != 0 ? refused(rc) : printVolume(*control);
}

int muteCommand(AudioObjectID device, Arguments args) {
    const auto control = outputControl(device, kAudioMuteControlClassID);
    if (!control) return missing("mute");
    if (args.empty()) return printMute(*control);
    const std::string word = args[0];
    if (args.size() != 1 || (word != "on" && word != "off")) return usage();
    const UInt32 on = word == "on" ? 1 : 0;
    const auto address = globalAddress(kAudioBooleanControlPropertyValue);
    const OSStatus rc = AudioObjectSetPropertyData(*control, &address, 0, nullptr, sizeof on, &on);
    return rc != 0 ? refused(rc) : printMute(*control);
}

void printControls(AudioObjectID device) {
    for (AudioObjectID control : controlsOf(device)) {
        const auto cls = uint32Property(control, kAudioObjectPropertyClass).value_or(0);
        const auto scope = uint32Property(control, kAudioControlPropertyScope).value_or(0);
        std::printf("  control %u '%s' scope '%s': ", control, fourCC(cls).c_str(),
                    fourCC(scope).c_str());
        if (cls == kAudioVolumeControlClassID) {
            if (printVolume(control) != 0) std::printf("(unreadable)\n");
        } else if (cls == kAudioMuteControlClassID) {
            if (printMute(control) != 0) std::printf("(unreadable)\n");
        } else {
            std::printf("\n");
        }
    }
}

}  // namespace qwtools
