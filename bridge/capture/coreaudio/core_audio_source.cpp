#include "bridge/capture/coreaudio/core_audio_source.h"

#include <thread>

#include "bridge/capture/coreaudio/capture_lines.h"
#include "bridge/capture/coreaudio/device_lookup.h"
#include "bridge/capture/coreaudio/silence_watch.h"
#include "bridge/platform_thread.h"

CoreAudioSource::CoreAudioSource(Capture& capture, LineSink printer)
    : c(capture), print(std::move(printer)) {}

bool CoreAudioSource::find() {
    found = findDevice("Quillwave");
    print(found ? deviceFoundLine(*found) : kDeviceNotFoundLine);
    return found.has_value();
}

bool CoreAudioSource::start(FrameSink& sink) {
    if (!found) return false;
    if (const auto failure = startInputUnit(*found, sink)) {
        print(unitFailureLine(*failure));
        return false;
    }
    print(startedLine());
    follower.emplace(
        *found, c, [this](double rate) { return restartCaptureAt(rate); }, print);
    follower->start();
    std::thread([this] { runSilenceWatch(c.silence, print); }).detach();
    return true;
}

void CoreAudioSource::stop() {
    if (c.unit != nullptr) AudioOutputUnitStop(c.unit);
}

void CoreAudioSource::run() {
    runMainRunLoop();
}

double CoreAudioSource::takeMaxGapMs() {
    return c.maxGapMs.exchange(0.0, std::memory_order_relaxed);
}
