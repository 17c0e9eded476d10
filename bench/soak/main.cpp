// qw-soak: runs the audio server with quillwave-driver, the phone stand-ins, a ramp player and
// tetherstream for a while, injects faults on a schedule, and checks that every fault is
// handled as it should be, that nothing leaks and that the sound arrives whole.
//
//   qw-soak [--seconds N] [--short] [--build-dir DIR] [--timeline FILE]
//
// --seconds: how long faults are injected (default 600). --short: the quick version (short
// faults, short pauses), as the test suite runs it. --build-dir: where the binaries are
// (default $QW_BUILD_DIR, else the build tree this program lies in). --timeline: write the
// per-second statistics lines with the fault windows to FILE.
//
// Everything runs in private mount, network and PID namespaces: /var/run/usbmuxd and port 7000
// are the soak's own, and every process it started ends with it. Exit status 0 when every
// bound holds, 1 when one breaks, 2 on misuse, 77 when the namespaces are not allowed.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_dir.h"
#include "isolated_run.h"
#include "soak_clock.h"
#include "soak_report.h"
#include "soak_run.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: qw-soak [--seconds N] [--short] [--build-dir DIR] [--timeline FILE]\n");
    return 2;
}

int runSoak(const SoakOptions& options) {
    // TCP send buffers of this network namespace as small as a phone's USB tunnel holds, so a
    // stalled app soon holds up the bridge's writes instead of vanishing into megabytes of
    // loopback buffering.
    if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "w")) {
        std::fputs("4096 16384 65536\n", f);
        std::fclose(f);
    }
    soakNow();
    std::printf("qw-soak: %s run of %.0f s, binaries from %s\n",
                options.shortRun ? "short" : "full", options.seconds, options.buildDir.c_str());
    std::fflush(stdout);
    SoakRun run(options, isolatedRunStopFlag());
    const bool pass = reportSoak(run.run(), stdout);
    std::fflush(stdout);
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    SoakOptions options;
    options.buildDir = defaultBuildDir();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--short") {
            options.shortRun = true;
        } else if (arg == "--seconds" && hasValue) {
            char* end = nullptr;
            options.seconds = std::strtod(argv[++i], &end);
            // The ramp numbers stay below 2^30 frames, about six hours.
            if (*end != '\0' || !(options.seconds >= 1 && options.seconds <= 6 * 3600)) {
                return usage();
            }
        } else if (arg == "--build-dir" && hasValue) {
            options.buildDir = argv[++i];
        } else if (arg == "--timeline" && hasValue) {
            options.timelinePath = argv[++i];
        } else {
            return usage();
        }
    }

    return runIsolated("qw-soak", [&] { return runSoak(options); });
}
