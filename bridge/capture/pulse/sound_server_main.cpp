#include "sound_server_main.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "command_line.h"
#include "common/atomic_max.h"
#include "console.h"
#include "frame_pool.h"
#include "frame_sink.h"
#include "globals.h"
#include "link_supervisor.h"
#include "platform_thread.h"
#include "sender.h"
#include "sound_server_source.h"
#include "statistics.h"

int runWithSoundServer(int argc, char** argv) {
    SoundServerSource source(printLine);
    if (!source.find()) return 1;

    applyCommandLine(argc, argv);
    if (!startDetachedThread(runLinkSupervisor, kLinkThreadStackBytes)) {
        printLine("cannot start the link thread");
        return 1;
    }
    // Set-up failures with the link thread running end without running static destructors
    // under its feet (standard output is unbuffered, so the line is out).
    if (!outFmt) outFmt = makeOutputFormat();
    if (!outFmt) {
        printLine("cannot make the 48000 Hz stream format");
        std::_Exit(1);
    }
    FrameSink frames{sendQ, gFramePool, *outFmt};
    if (!source.start(frames)) std::_Exit(1);

    // The sender thread is kept for the life of the process (never joined).
    std::thread([] {
        raiseCurrentThreadPriority();
        runSender();
    }).detach();
    // The statistics line's maxGap is the source's own figure, handed to the reporter each
    // second before it takes its line.
    std::thread([&source] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            qw::raiseAtomicMax(cap.maxGapMs, source.takeMaxGapMs());
            printLine(takeStatisticsLine());
        }
    }).detach();

    source.run();
}
