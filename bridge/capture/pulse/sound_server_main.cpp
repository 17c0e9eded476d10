#include "sound_server_main.h"

#include <cstdlib>
#include <thread>

#include "command_line.h"
#include "common/wire_format.h"
#include "console.h"
#include "frame_pool.h"
#include "link_supervisor.h"
#include "monitor_stream.h"
#include "platform_thread.h"
#include "sender.h"
#include "sound_server_capture.h"
#include "statistics.h"

namespace {

std::thread* sender = nullptr;  // kept for the life of the process

}  // namespace

int runWithSoundServer(int argc, char** argv) {
    const SoundServerStep opened = openSoundServer();
    printLine(opened.line);
    if (!opened.ok) return 1;

    applyCommandLine(argc, argv);
    if (!startDetachedThread(runLinkSupervisor, kLinkThreadStackBytes)) {
        printLine("cannot start the link thread");
        return 1;
    }
    // Each made-ready buffer has room for the largest audio frame a piece becomes.
    gFramePool.growBuffers(kPrefilledFrameBuffers,
                           qw::wire::kHeaderSize + kMostFramesPerFrame * qw::wire::kBytesPerFrame);
    const SoundServerStep capturing = startSoundServerCapture();
    printLine(capturing.line);
    // Set-up failed with the link thread running: end without running static destructors
    // under its feet (standard output is unbuffered, so the line is out).
    if (!capturing.ok) std::_Exit(1);

    sender = new std::thread([] {
        raiseCurrentThreadPriority();
        runSender();
    });
    std::thread(runStatistics).detach();

    raiseCurrentThreadPriority();  // the main thread now carries the audio, as an audio thread
    runSoundServerCapture();
}
