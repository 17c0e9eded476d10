// qw-latency: the latency of the whole road on this machine, next to the usual Linux pipeline.
// Plays numbered clicks into "Quillwave" (at each device buffer size, idle and with both cores
// busy) and into a PulseAudio null sink captured with parec and socat (its playback stream and
// capture set to the same buffer length), timestamps their arrival at the same receiving app
// (phone-app --onsets, CLOCK_MONOTONIC) and prints the tables.
//
//   qw-latency [--clicks N] [--interval-ms MS] [--buffers 64,128,256,512] [--no-pulse]
//   [--no-desktop]
//              [--no-receiver] [--receiver-low MS/MS] [--old-receiver QWRECEIVER]
//              [--no-rtp] [--rtp-latencies 10,20,...] [--rtp-settle-seconds S] [--no-quillwave]
//              [--csv FILE] [--build-dir DIR]
//
// The Linux sound server's road (tetherstream capturing the quillwave sink of a PulseAudio of
// its own) runs at the same buffers and loads; --no-desktop leaves it out.
//
// The receiver pipeline (receiver_pipeline.h) runs at device buffers 256 and 64 with
// qwreceiver at its defaults, then once at 64 with --receiver-low's target and PulseAudio
// buffer (default 5/5 ms). --old-receiver measures another build's qwreceiver at its
// defaults beside this one's, at the same buffers and loads.
//
// Also PulseAudio's RTP modules (rtp_pipeline.h) at module-rtp-recv's default and at each of
// --rtp-latencies (its latency_msec).
//
// Runs in private mount, network and PID namespaces (as root). Exit status 0 when every
// configuration got at least 200 clicks through (or --clicks of them, if fewer; for the RTP
// peer, which may lose clicks, when every row ran), 1 otherwise, 2 on misuse.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "build_dir.h"
#include "isolated_run.h"
#include "latency_bench.h"
#include "latency_report.h"
#include "rtp_report.h"

namespace {

int usage() {
    std::fprintf(
        stderr,
        "usage: qw-latency [--clicks N] [--interval-ms MS] [--buffers 64,128,256,512] "
        "[--no-pulse] [--no-desktop]\n"
        "                  [--no-receiver] [--receiver-low MS/MS] [--old-receiver QWRECEIVER]\n"
        "                  [--no-rtp] [--rtp-latencies 10,20,...] "
        "[--rtp-settle-seconds S] [--no-quillwave]\n"
        "                  [--csv FILE] [--build-dir DIR]\n");
    return 2;
}

bool parseInt(const char* text, int min, int max, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > max) return false;
    out = static_cast<int>(v);
    return true;
}

// A comma-separated list of numbers, each within [min, max].
bool parseList(const char* text, int min, int max, std::vector<int>& out) {
    out.clear();
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        int v = 0;
        if (!parseInt(item.c_str(), min, max, v)) return false;
        out.push_back(v);
    }
    return !out.empty();
}

int measure(const LatencyOptions& options, const std::string& csv) {
    std::printf("qw-latency: %d clicks every %d ms per configuration, binaries from %s\n",
                options.clicks, options.intervalMs, options.buildDir.c_str());
    std::fflush(stdout);
    LatencyBench bench(options, isolatedRunStopFlag());
    const auto runs = bench.run();
    printLatencyReport(runs, options, stdout);
    printRtpReport(runs, bench.rtpFigures(), stdout);
    if (!csv.empty() && !writeLatencyCsv(runs, csv)) std::printf("cannot write %s\n", csv.c_str());
    const size_t wanted = static_cast<size_t>(std::min(options.clicks, 200));
    bool complete = !runs.empty();
    for (const auto& r : runs) {
        const bool ran =
            r.pipeline == "pulse-rtp" ? r.note.empty() : r.latencies.fromMixedMs.size() >= wanted;
        complete = complete && ran;
    }
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    LatencyOptions options;
    options.buildDir = defaultBuildDir();
    std::string csv;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--no-pulse") {
            options.withPulse = false;
        } else if (arg == "--no-desktop") {
            options.withDesktop = false;
        } else if (arg == "--no-receiver") {
            options.withReceiver = false;
        } else if (arg == "--receiver-low" && hasValue) {
            if (std::sscanf(argv[++i], "%lf/%lf", &options.receiverLowLatencyMs,
                            &options.receiverLowPulseMs) != 2 ||
                !(options.receiverLowLatencyMs >= 0.5 && options.receiverLowPulseMs >= 0.5)) {
                return usage();
            }
        } else if (arg == "--old-receiver" && hasValue) {
            options.oldReceiver = argv[++i];
            if (::access(options.oldReceiver.c_str(), X_OK) != 0) return usage();
        } else if (arg == "--no-rtp") {
            options.withRtp = false;
        } else if (arg == "--no-quillwave") {
            options.withQuillwave = false;
        } else if (arg == "--rtp-settle-seconds" && hasValue) {
            if (!parseInt(argv[++i], 0, 3600, options.rtpSettleSeconds)) return usage();
        } else if (arg == "--rtp-latencies" && hasValue) {
            if (!parseList(argv[++i], 1, 5000, options.rtpLatenciesMs)) return usage();
        } else if (arg == "--clicks" && hasValue) {
            if (!parseInt(argv[++i], 1, 16384, options.clicks)) return usage();
        } else if (arg == "--interval-ms" && hasValue) {
            if (!parseInt(argv[++i], 20, 10000, options.intervalMs)) return usage();
        } else if (arg == "--buffers" && hasValue) {
            options.bufferFrames.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                int frames = 0;
                if (!parseInt(item.c_str(), 16, 2048, frames)) return usage();
                options.bufferFrames.push_back(frames);
            }
            if (options.bufferFrames.empty()) return usage();
        } else if (arg == "--csv" && hasValue) {
            csv = argv[++i];
        } else if (arg == "--build-dir" && hasValue) {
            options.buildDir = argv[++i];
        } else {
            return usage();
        }
    }
    return runIsolated("qw-latency", [&] { return measure(options, csv); });
}
