#include "bridge/capture/pulse/sound_server_lines.h"

#include <pulse/error.h>

#include "bridge/capture/pulse/monitor_stream.h"
#include "common/wire_format.h"

std::string soundServerErrorText(const SoundServerError& error) {
    switch (error.cause) {
        case SoundServerCause::none:
            return "";
        case SoundServerCause::noClient:
            return "libpulse could not make a client";
        case SoundServerCause::noAnswer:
            return "no answer";
        case SoundServerCause::refused:
            return "refused";
        case SoundServerCause::sinkNotListed:
            return "the new sink is not listed";
        case SoundServerCause::pulseError: {
            const char* text = pa_strerror(error.pulseError);
            return text != nullptr ? text : "";
        }
    }
    return "";
}

std::string noServerLine(const SoundServerError& error) {
    return "No sound server (" + soundServerErrorText(error) +
           ") \u2014 start PulseAudio or PipeWire, or use --capture standin.";
}

std::string sinkRefusedLine(const SoundServerError& error) {
    return "The sound server would not make the Quillwave sink (" + soundServerErrorText(error) +
           ").";
}

std::string captureRefusedLine(const SoundServerError& error) {
    return "The sound server would not let us record the Quillwave sink (" +
           soundServerErrorText(error) + ").";
}

std::string soundServerFailureLine(const SoundServerFailure& failure) {
    switch (failure.step) {
        case SoundServerStep::none:
            return "";
        case SoundServerStep::noServer:
            return noServerLine(failure.error);
        case SoundServerStep::sinkRefused:
            return sinkRefusedLine(failure.error);
        case SoundServerStep::captureRefused:
            return captureRefusedLine(failure.error);
    }
    return "";
}

std::string sinkLine(const SinkFound& sink) {
    if (!sink.made) return "Found Quillwave sink (index " + std::to_string(sink.index) + ").";
    return "Made Quillwave sink (index " + std::to_string(sink.index) + ", module " +
           std::to_string(sink.module) + ").";
}

std::string soundServerCaptureLine(const SinkFound& sink, const std::string& server) {
    std::string line =
        "Pulse capturing " + sink.monitor + " at " + std::to_string(sink.rate) + " Hz";
    if (sink.rate != qw::wire::kSampleRate) {
        line += ", converted to " + std::to_string(qw::wire::kSampleRate) + " Hz by the server";
    }
    line += ", " + std::to_string(kPieceFrames) + "-frame pieces";
    if (!server.empty()) line += " (" + server + ")";
    return line + " \u2014 set the desktop's output to Quillwave and play.";
}

std::string serverGoneLine() {
    return "Sound server gone \u2014 the phone link stays; capturing again when it is back.";
}

std::string sinkGoneLine() {
    return "Quillwave sink gone \u2014 finding or making it again.";
}

std::string serverAwaitedLine(const SoundServerError& error) {
    return "Sound server not back yet (" + soundServerErrorText(error) + ").";
}
