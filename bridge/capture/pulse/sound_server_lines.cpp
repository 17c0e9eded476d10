#include "sound_server_lines.h"

#include "common/wire_format.h"
#include "monitor_stream.h"

std::string noServerLine(const std::string& why) {
    return "No sound server (" + why +
           ") \u2014 start PulseAudio or PipeWire, or use --capture standin.";
}

std::string sinkRefusedLine(const std::string& why) {
    return "The sound server would not make the Quillwave sink (" + why + ").";
}

std::string captureRefusedLine(const std::string& why) {
    return "The sound server would not let us record the Quillwave sink (" + why + ").";
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

std::string serverAwaitedLine(const std::string& why) {
    return "Sound server not back yet (" + why + ").";
}
