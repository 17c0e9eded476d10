// tetherstream: captures the Quillwave device (on Linux, the desktop's sound server unless
// "--capture standin") and streams it to the phone, over a usbmuxd tunnel or plain TCP, until it
// is killed. One start-up sequence, whichever source is captured.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bridge/capture/capture_source.h"
#include "bridge/capture/coreaudio/core_audio_source.h"
#include "bridge/command_line.h"
#include "bridge/console.h"
#include "bridge/discovery.h"
#include "bridge/dns_sd_session.h"
#include "bridge/globals.h"
#include "bridge/help_text.h"
#include "bridge/link_supervisor.h"
#include "bridge/platform_thread.h"
#include "bridge/sender.h"
#include "bridge/statistics.h"
#include "bridge/unknown_options.h"

#if !defined(__APPLE__)
#include "bridge/capture/pulse/sound_server_source.h"
#endif

namespace {

constexpr const char* kBanner =
    "QWV Bridge \u2014 capture the QWV device and stream to the phone over USB";

// The capture sources, chosen once from the options. Made once and never destroyed: their
// threads run until the process ends. The pointer keeps it reachable whichever way main ends.
CaptureSource& makeCaptureSource([[maybe_unused]] CaptureChoice choice) {
    static CaptureSource* const chosen = [&]() -> CaptureSource* {
#if !defined(__APPLE__)
        if (choice == CaptureChoice::soundServer) return new SoundServerSource(printLine);
#endif
        return new CoreAudioSource(cap, printLine);
    }();
    return *chosen;
}

// Ends the process after a set-up failure once other threads run: without running static
// destructors under the feet of the link thread. Standard output is unbuffered, so every line
// is already out.
[[noreturn]] void failSetUp() {
    std::_Exit(1);
}

void printUnknownOptions(const BridgeOptions& options) {
    for (const std::string& option : options.unknownOptions) printLine(unknownOptionLine(option));
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const BridgeOptions options = parseCommandLine(std::vector<std::string>(argv, argv + argc));
    if (options.help) {
        printLine(helpText());
        return 0;
    }
    quietDnsSdLibrary();
    // Listing the receivers needs neither the audio nor usbmuxd.
    if (options.find) {
        printUnknownOptions(options);
        return runFind();
    }
    printLine(kBanner);
    printUnknownOptions(options);

    CaptureSource& source = makeCaptureSource(options.capture);
    if (!source.find()) return 1;

    // gTunnels (-1) and gLock are initialised statically, before any thread can exist.
    applyCommandLine(options);
    if (!startDetachedThread([options] { runLinkSupervisor(options); }, kLinkThreadStackBytes)) {
        printLine("cannot start the link thread");
        return 1;
    }

    outFmt = makeOutputFormat();
    if (!outFmt) {
        printLine("cannot make the 48000 Hz stream format");
        failSetUp();
    }
    // cap and sendQ exist from program start, empty, and are never destroyed (globals.cpp); the
    // pool and the sink that joins them are made here, once.
    FrameSink& sink = *new FrameSink{sendQ, *new FramePool, *outFmt};
    if (!source.start(sink)) failSetUp();

    std::thread([&sink] {
        raiseCurrentThreadPriority();
        runSender(sink);
    }).detach();
    std::thread([&source] { runStatistics(source); }).detach();

    source.run();
    return 0;
}
