#include "sound_server_capture.h"

#include <chrono>
#include <optional>
#include <thread>

#include "console.h"
#include "monitor_stream.h"
#include "quillwave_sink.h"
#include "server_connection.h"
#include "sound_server_lines.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRetryInterval = 500ms;
// After the sink goes, a user who removed it to make it again at another rate gets this long
// to do so before the bridge makes it in the stream's format.
constexpr auto kSinkGoneGrace = 1s;

// Program-wide, made at start-up and never destroyed.
ServerConnection& server = *new ServerConnection;
std::optional<SinkFound> sink;
pa_stream* stream = nullptr;

// One attempt to be capturing again; prints the sink and capture lines on success, and on
// failure the failure line if it differs from the last one printed.
bool captureAgain(std::string& lastFailure) {
    SoundServerStep step = openSoundServer();
    if (step.ok) {
        const std::string sinkText = step.line;
        step = startSoundServerCapture();
        if (step.ok) {
            printLine(sinkText);
            printLine(step.line);
            return true;
        }
    }
    // While running, "no server" is a wait rather than an error.
    const std::string line = step.noServer ? serverAwaitedLine(step.why) : step.line;
    if (line != lastFailure) printLine(line);
    lastFailure = line;
    return false;
}

void recover() {
    stopMonitorStream(stream);
    stream = nullptr;
    if (server.broken()) {
        printLine(serverGoneLine());
        server.close();
    } else {
        printLine(sinkGoneLine());
        std::this_thread::sleep_for(kSinkGoneGrace);
    }
    std::string lastFailure;
    while (!captureAgain(lastFailure)) std::this_thread::sleep_for(kRetryInterval);
}

}  // namespace

SoundServerStep openSoundServer() {
    std::string why;
    if (server.broken() && !server.open(why)) return {false, noServerLine(why), true, why};
    sink = findOrMakeSink(server, why);
    if (!sink) return {false, sinkRefusedLine(why), false, why};
    return {true, sinkLine(*sink), false, ""};
}

SoundServerStep startSoundServerCapture() {
    std::string why;
    const std::string name = server.serverName();
    stream = startMonitorStream(server, sink->monitor, why);
    if (stream == nullptr) return {false, captureRefusedLine(why), false, why};
    return {true, soundServerCaptureLine(*sink, name), false, ""};
}

void runSoundServerCapture() {
    for (;;) {
        if (stream == nullptr || streamBroken(stream) || server.broken()) {
            recover();
            continue;
        }
        if (pa_mainloop_iterate(server.loop(), 1, nullptr) < 0) server.close();
    }
}
