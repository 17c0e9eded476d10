#include "sound_server_source.h"

#include "common/wire_format.h"
#include "globals.h"
#include "monitor_stream.h"
#include "platform_thread.h"
#include "sound_server_capture.h"

FrameSink* gTemporarySink = nullptr;

SoundServerSource::SoundServerSource(LineSink p) : print(std::move(p)) {}

bool SoundServerSource::find() {
    const SoundServerStep opened = openSoundServer();
    print(opened.line);
    return opened.ok;
}

bool SoundServerSource::start(FrameSink& sink) {
    gTemporarySink = &sink;
    sink.pool.growBuffers(kPrefilledFrameBuffers,
                          qw::wire::kHeaderSize + kMostFramesPerFrame * qw::wire::kBytesPerFrame);
    const SoundServerStep capturing = startSoundServerCapture();
    print(capturing.line);
    return capturing.ok;
}

void SoundServerSource::stop() {}

void SoundServerSource::run() {
    raiseCurrentThreadPriority();
    runSoundServerCapture();
}

double SoundServerSource::takeMaxGapMs() {
    return cap.maxGapMs.exchange(0.0);
}
