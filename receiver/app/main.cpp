// qwreceiver: the receiving end of a Quillwave stream on Linux. Listens for the bridge on TCP,
// plays through PipeWire or PulseAudio (or a clocked null output) and reports its buffer and
// drift back to the bridge once a second.
#include <sched.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "announce.h"
#include "common/monotonic_clock.h"
#include "common/wire_format.h"
#include "connection_server.h"
#include "options.h"
#include "output_choice.h"
#include "quillwave_receiver.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

using ReceiverPtr = std::unique_ptr<qw_receiver, void (*)(qw_receiver*)>;

// The receiver for a 48000 Hz output, or null after printing why there is none.
ReceiverPtr makeReceiver(const qwr::Options& options) {
    qw_receiver_config config = qw_receiver_config_init(qw::wire::kSampleRate);
    config.latency_ms = options.latencyMs;
    config.automatic = options.automatic ? 1 : 0;
    int error = QW_RECEIVER_SUCCESS;
    ReceiverPtr receiver(qw_receiver_create(&config, &error), qw_receiver_destroy);
    if (!receiver) std::printf("cannot start the receiver: %s\n", qw_receiver_strerror(error));
    return receiver;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto options = qwr::parseOptions(argc, argv);
    if (!options) return 2;
    if (options->help) return 0;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // A real-time priority where permitted, for this thread and every thread started from it
    // (the connection, the output): sound must not wait for a busy machine's other work.
    sched_param param{};
    param.sched_priority = 10;
    const bool realtime = ::sched_setscheduler(0, SCHED_FIFO, &param) == 0;

    const ReceiverPtr receiver = makeReceiver(*options);
    if (!receiver) return 1;
    // The port first, so that a busy one is reported before any sound server is reached; the
    // figures are asked for only once a sender connects, inside run(), after the output started.
    qwr::StartedOutput out;
    qwr::ConnectionServer server(receiver.get(), [&] { return out.output->figures(); });
    if (!server.listen(options->listen, options->port)) return 1;
    std::printf(options->allow.open()
                    ? "open to every host that reaches the port (--allow restricts it)\n"
                    : "accepting only the hosts given with --allow\n");
    server.allowOnly(options->allow);
    out = qwr::startOutput(*options, receiver.get());
    if (!out.output) return 1;
    std::printf("playing to %s, target %.1f ms%s%s\n", out.name, options->latencyMs,
                options->automatic ? " (automatic)" : " (fixed)",
                realtime ? ", real-time priority" : "");
    std::unique_ptr<qwr::Announcer> announcer;
    if (options->announce) {
        const std::string name = options->name.empty() ? qwr::defaultServiceName() : options->name;
        announcer = std::make_unique<qwr::Announcer>(name, options->port);
    }
    const double endAt = options->seconds;
    const int64_t started = qw::monotonicNs();
    server.run([&] {
        if (gStop) return false;
        // A restarted sound server is not followed in the process: the line says why it
        // exits (status 1), and the user unit starts a fresh receiver (Restart=on-failure).
        if (out.lost()) {
            std::printf("%s: connection lost\n", out.name);
            return false;
        }
        if (endAt <= 0) return true;
        return 1e-9 * static_cast<double>(qw::monotonicNs() - started) < endAt;
    });
    const bool failed = out.lost();
    out.output.reset();
    return failed ? 1 : 0;
}
