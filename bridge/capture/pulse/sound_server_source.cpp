#include "bridge/capture/pulse/sound_server_source.h"

#include <chrono>
#include <thread>
#include <utility>

#include "bridge/capture/pulse/sound_server_lines.h"
#include "bridge/frame_pool.h"
#include "bridge/platform_thread.h"
#include "common/wire_format.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRetryInterval = 500ms;
// After the sink goes, a user who removed it to make it again at another rate gets this long
// to do so before the bridge makes it in the stream's format.
constexpr auto kSinkGoneGrace = 1s;

}  // namespace

SoundServerSource::SoundServerSource(LineSink printTo) : print(std::move(printTo)) {}

SoundServerSource::~SoundServerSource() {
    stop();
}

bool SoundServerSource::openServer(SoundServerFailure* why) {
    SoundServerError error;
    if (server.broken() && !server.open(&error)) {
        if (why != nullptr) *why = {SoundServerStep::noServer, error};
        return false;
    }
    sink = findOrMakeSink(server, &error);
    if (!sink) {
        if (why != nullptr) *why = {SoundServerStep::sinkRefused, error};
        return false;
    }
    return true;
}

bool SoundServerSource::startCapture(SoundServerFailure* why) {
    SoundServerError error;
    serverName = server.serverName();
    stream = startMonitorStream(server, sink->monitor, reads, &error);
    if (stream == nullptr) {
        if (why != nullptr) *why = {SoundServerStep::captureRefused, error};
        return false;
    }
    return true;
}

bool SoundServerSource::find() {
    SoundServerFailure failure;
    if (!openServer(&failure)) {
        print(soundServerFailureLine(failure));
        return false;
    }
    print(sinkLine(*sink));
    return true;
}

bool SoundServerSource::start(FrameSink& frames) {
    SoundServerFailure failure;
    if (!sink && !openServer(&failure)) {
        print(soundServerFailureLine(failure));
        return false;
    }
    // Each made-ready buffer has room for the largest audio frame a piece becomes.
    frames.pool.growBuffers(kPrefilledFrameBuffers,
                            qw::wire::kHeaderSize + kMostFramesPerFrame * qw::wire::kBytesPerFrame);
    reads.sink = &frames;
    if (!startCapture(&failure)) {
        print(soundServerFailureLine(failure));
        return false;
    }
    print(soundServerCaptureLine(*sink, serverName));
    return true;
}

void SoundServerSource::stop() {
    stopMonitorStream(stream);
    stream = nullptr;
}

double SoundServerSource::takeMaxGapMs() {
    return reads.takeMaxGapMs();
}

// Prints the sink and capture lines on success, and on failure the failure line if it differs
// from the last one printed.
bool SoundServerSource::captureAgain(std::optional<SoundServerFailure>& lastFailure) {
    SoundServerFailure failure;
    if (openServer(&failure) && startCapture(&failure)) {
        print(sinkLine(*sink));
        print(soundServerCaptureLine(*sink, serverName));
        return true;
    }
    if (failure != lastFailure) {
        // While running, "no server" is a wait rather than an error.
        print(failure.step == SoundServerStep::noServer ? serverAwaitedLine(failure.error)
                                                        : soundServerFailureLine(failure));
    }
    lastFailure = failure;
    return false;
}

void SoundServerSource::recover() {
    stop();
    if (server.broken()) {
        print(serverGoneLine());
        server.close();
    } else {
        print(sinkGoneLine());
        std::this_thread::sleep_for(kSinkGoneGrace);
    }
    std::optional<SoundServerFailure> lastFailure;
    while (!captureAgain(lastFailure)) std::this_thread::sleep_for(kRetryInterval);
}

void SoundServerSource::run() {
    raiseCurrentThreadPriority();  // the thread now carries the audio, as an audio thread
    for (;;) {
        if (stream == nullptr || streamBroken(stream) || server.broken()) {
            recover();
            continue;
        }
        if (pa_mainloop_iterate(server.loop(), 1, nullptr) < 0) server.close();
    }
}
