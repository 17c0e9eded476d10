#include "help_text.h"

namespace qwr {

const char* const kHelpText =
    R"(QWRECEIVER(1)                    Quillwave                    QWRECEIVER(1)

NAME
    qwreceiver - play a Quillwave stream from another computer

SYNOPSIS
    qwreceiver [--listen ADDR] [--port N] [--name NAME] [--no-announce]
               [--allow ADDR[/BITS]]... [--latency-ms MS] [--fixed-latency]
               [--output pulse|pipewire|null] [--sink NAME]
               [--output-latency-ms MS] [--clock-ppm N] [--wav FILE] [--seconds S]

DESCRIPTION
    qwreceiver listens on TCP (default 0.0.0.0:7000) for the stream that
    tetherstream sends, and plays it through PipeWire (natively) when its
    daemon answers, else through PulseAudio. One sender plays at a time.

    It announces itself on the local network as a DNS-SD service
    (_quillwave._tcp) through avahi-daemon, so that on the sending computer
    `tetherstream --find` lists it and `tetherstream --receiver NAME` streams
    to it by name. Without avahi-daemon it says so in one line and serves
    on its port all the same; `tetherstream --tcp HOST` still reaches it.

    By default ANY host that can reach the port may connect, and a new
    connection replaces the current one. On a network you do not trust,
    name the senders you accept with --allow.

OPTIONS
    --listen ADDR        IPv4 address to listen on (default 0.0.0.0).
    --port N             TCP port (default 7000).
    --name NAME          name announced on the network (default: the host
                         name); at most 63 bytes.
    --no-announce        do not announce the receiver on the network.
    --allow ADDR[/BITS]  accept connections only from ADDR, or from the
                         network ADDR/BITS; repeat for more. Others are
                         closed at once and never replace the current
                         connection; refusals are logged at most once a
                         second, with a count.
    --latency-ms MS      buffer target in ms, 0.5 to 100 (default 5); in the
                         automatic mode its start and floor.
    --fixed-latency      keep the buffer target fixed instead of raising it
                         after underruns.
    --output KIND        pipewire, pulse or null; without it PipeWire when
                         its daemon answers, else PulseAudio. A named output
                         that cannot start is an error, never a fallback.
                         null plays to nothing, at 48000 Hz by the monotonic
                         clock (for tests); --clock-ppm N skews that clock
                         and --wav FILE records what is played.
    --null-output        the same as --output null.
    --sink NAME          the sink (PulseAudio) or target node (PipeWire) to
                         play to (default: the server's default).
    --output-latency-ms MS
                         the sound server's buffer in ms (default 10): the
                         PulseAudio stream's length, or the PipeWire node's
                         latency (the graph runs at the largest power of two
                         frames within it, e.g. 5.3 ms: 256 frames).
    --pulse-latency-ms MS
                         the same as --output-latency-ms.
    --seconds S          stop after S seconds (default: run until stopped).
    --help               print this manual.

SERVICE
    The package installs a systemd user unit:
        systemctl --user enable --now qwreceiver.service
    Options go in ~/.config/qwreceiver/options as QWRECEIVER_OPTIONS="...",
    e.g. QWRECEIVER_OPTIONS="--name Kitchen --allow 192.168.1.0/24".
    Its log: journalctl --user -u qwreceiver.
    PipeWire and PulseAudio run only for a logged-in or lingering user: on a
    machine nobody logs in to, let the user's services run without a login
    with `loginctl enable-linger USER`.
    When the sound server stops or restarts, qwreceiver says so in one line
    ("pipewire: connection lost") and exits with status 1; the unit starts
    it again two seconds later, without a limit, and the sender reconnects.

OUTPUT
    One line per event (listening, announced, connections, refusals) and a
    line of figures once a second, on standard output.

EXIT STATUS
    0 when stopped by a signal or --seconds; 1 when the port or the output
    cannot be opened, or the sound server goes away; 2 for a bad command
    line.
)";

}  // namespace qwr
