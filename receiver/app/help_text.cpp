#include "help_text.h"

namespace qwr {

const char* const kHelpText =
    R"(QWRECEIVER(1)                    Quillwave                    QWRECEIVER(1)

NAME
    qwreceiver - play a Quillwave stream from another computer

SYNOPSIS
    qwreceiver [--listen ADDR] [--port N] [--name NAME] [--no-announce]
               [--allow ADDR[/BITS]]... [--latency-ms MS] [--fixed-latency]
               [--sink NAME] [--pulse-latency-ms MS]
               [--null-output [--clock-ppm N] [--wav FILE]] [--seconds S]

DESCRIPTION
    qwreceiver listens on TCP (default 0.0.0.0:7000) for the stream that
    tetherstream sends, and plays it through PulseAudio (or PipeWire's
    PulseAudio service). One sender plays at a time.

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
    --sink NAME          PulseAudio sink (default: the server's default).
    --pulse-latency-ms MS
                         PulseAudio buffer in ms (default 10).
    --null-output        play to nothing, at 48000 Hz by the monotonic clock
                         (for tests); --clock-ppm N skews that clock and
                         --wav FILE records what is played.
    --seconds S          stop after S seconds (default: run until stopped).
    --help               print this manual.

SERVICE
    The package installs a systemd user unit:
        systemctl --user enable --now qwreceiver.service
    Options go in ~/.config/qwreceiver/options as QWRECEIVER_OPTIONS="...",
    e.g. QWRECEIVER_OPTIONS="--name Kitchen --allow 192.168.1.0/24".
    Its log: journalctl --user -u qwreceiver.

OUTPUT
    One line per event (listening, announced, connections, refusals) and a
    line of figures once a second, on standard output.

EXIT STATUS
    0 when stopped by a signal or --seconds; 1 when the port or the output
    cannot be opened, or PulseAudio goes away; 2 for a bad command line.
)";

}  // namespace qwr
