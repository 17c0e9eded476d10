#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "announce.h"
#include "common/wire_format.h"
#include "help_text.h"
#include "quillwave_receiver.h"

namespace qwr {

namespace {

constexpr const char* kUsage =
    "usage: qwreceiver [--listen ADDR] [--port N] [--latency-ms MS] [--fixed-latency]\n"
    "                  [--output pulse|pipewire|null] [--sink NAME] [--output-latency-ms MS]\n"
    "                  [--clock-ppm N] [--wav FILE] [--seconds S]\n"
    "                  [--name NAME] [--no-announce] [--allow ADDR[/BITS]]... [--help]\n"
    "Plays the Quillwave stream received on TCP (default 0.0.0.0:7000) through PipeWire or\n"
    "PulseAudio, or with --output null consumes it at 48000 Hz x (1 + N/1e6) by the monotonic\n"
    "clock.\n";

std::optional<double> number(const char* text, double min, double max) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < min || v > max) return {};
    return v;
}

std::optional<OutputKind> outputKind(std::string_view name) {
    if (name == "pulse") return OutputKind::pulse;
    if (name == "pipewire") return OutputKind::pipewire;
    if (name == "null") return OutputKind::null;
    return {};
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    o.port = qw::wire::kAppPort;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto take = [&](double min, double max, auto& target) {
            std::optional<double> v = value ? number(value, min, max) : std::nullopt;
            if (!v) return false;
            target = static_cast<std::remove_reference_t<decltype(target)>>(*v);
            ++i;
            return true;
        };
        bool ok = true;
        if (arg == "--listen" && value) {
            o.listen = value, ++i;
        } else if (arg == "--sink" && value) {
            o.sink = value, ++i;
        } else if (arg == "--wav" && value) {
            o.wavPath = value, ++i;
        } else if (arg == "--name" && value) {
            o.name = value, ++i;
            ok = isServiceName(o.name);
        } else if (arg == "--allow" && value) {
            const auto range = parseAddressRange(value);
            if (range) o.allow.add(*range);
            ok = range.has_value(), ++i;
        } else if (arg == "--no-announce") {
            o.announce = false;
        } else if (arg == "--help") {
            std::fputs(kHelpText, stdout);
            o.help = true;
            return o;
        } else if (arg == "--port") {
            ok = take(1, 65535, o.port);
        } else if (arg == "--latency-ms") {
            ok = take(QW_RECEIVER_LATENCY_MIN_MS, QW_RECEIVER_LATENCY_MAX_MS, o.latencyMs);
            if (!ok) {
                std::fprintf(stderr, "--latency-ms takes a number of milliseconds in %g..%g\n",
                             QW_RECEIVER_LATENCY_MIN_MS, QW_RECEIVER_LATENCY_MAX_MS);
            }
        } else if (arg == "--output" && value) {
            const auto kind = outputKind(value);
            if (kind) o.output = *kind;
            ok = kind.has_value(), ++i;
        } else if (arg == "--output-latency-ms" || arg == "--pulse-latency-ms") {
            ok = take(0.5, 500, o.outputLatencyMs);
        } else if (arg == "--clock-ppm") {
            ok = take(-100000, 100000, o.clockPpm);
        } else if (arg == "--seconds") {
            ok = take(0, 1e7, o.seconds);
        } else if (arg == "--fixed-latency") {
            o.automatic = false;
        } else if (arg == "--null-output") {
            o.output = OutputKind::null;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fputs(kUsage, stderr);
            return std::nullopt;
        }
    }
    if (o.output != OutputKind::null && (!o.wavPath.empty() || o.clockPpm != 0)) {
        std::fputs("--wav and --clock-ppm need --output null\n", stderr);
        return std::nullopt;
    }
    return o;
}

}  // namespace qwr
