// tetherstream: captures the Quillwave device and streams it to the phone, over a usbmuxd
// tunnel or plain TCP, until it is killed.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "console.h"
#include "device_lookup.h"
#include "discovery.h"
#include "dns_sd_session.h"
#include "globals.h"
#include "help_text.h"
#include "input_unit.h"
#include "link_supervisor.h"
#include "platform_thread.h"
#include "rate_follower.h"
#include "render_callback.h"
#include "sender.h"
#include "silence_watch.h"
#include "statistics.h"
#include "unknown_options.h"

#if !defined(__APPLE__)
#include "capture_choice.h"
#include "sound_server_main.h"
#endif

namespace {

// The sender thread, kept for the life of the process (never joined, never destroyed).
std::thread* sender = nullptr;

// Ends the process after a set-up failure once other threads run: without running static
// destructors under the feet of the link thread. Standard output is unbuffered, so every line
// is already out.
[[noreturn]] void failSetUp(const std::string& line) {
    printLine(line);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::vector<std::string> args(argv, argv + argc);
    if (asksForHelp(args)) {
        printLine(helpText());
        return 0;
    }
    quietDnsSdLibrary();
    const std::vector<std::string> unknown = unknownOptionLines(args);
    // Listing the receivers needs neither the audio device nor usbmuxd.
    if (parseCommandLine(args).find) {
        for (const std::string& line : unknown) printLine(line);
        return runFind();
    }
    printLine("QWV Bridge \u2014 capture the QWV device and stream to the phone over USB");
    for (const std::string& line : unknown) printLine(line);
#if !defined(__APPLE__)
    // On Linux the desktop's sound server is captured unless the stand-in server is chosen.
    if (captureSourceFrom(args) == CaptureSource::soundServer) {
        return runWithSoundServer(argc, argv);
    }
#endif

    const auto device = findDevice("Quillwave");
    if (!device) {
        printLine("Quillwave device not found. Install the driver first.");
        return 1;
    }
    printLine("Found QWV device (id " + std::to_string(*device) + ").");

    // gTunnels (-1) and gLock are initialised statically, before any thread can exist.
    applyCommandLine(argc, argv);
    if (!startDetachedThread(runLinkSupervisor, kLinkThreadStackBytes)) {
        printLine("cannot start the link thread");
        return 1;
    }

    outFmt = makeOutputFormat();
    if (!outFmt) failSetUp("cannot make the 48000 Hz stream format");
    // cap and sendQ exist from program start, empty, and are never destroyed (globals.cpp).

    const InputUnitResult unit = startInputUnit(*device, cap, renderCallback, *outFmt);
    if (!unit.running) failSetUp(unit.line);
    printLine(unit.line);
    startFollowingDeviceRate(*device, cap, *outFmt);

    sender = new std::thread([] {
        raiseCurrentThreadPriority();
        runSender();
    });
    std::thread(runStatistics).detach();
    std::thread(runSilenceWatch).detach();

    runMainRunLoop();
    return 0;
}
