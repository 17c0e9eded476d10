// phone-app: stands in for the receiving app on the phone. Listens on a TCP port, serves one
// connection at a time, checks every audio frame, writes the sound to a WAV file and sends
// report frames back. Options make it misbehave on purpose so the bridge's link handling can be
// exercised, either from the start (options) or at any moment (commands on standard input:
// "close", "bad LENGTH", "stall MS", "refuse MS"). Every event is printed as one line on standard
// output.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/wav_writer.h"
#include "common/wire_format.h"
#include "phone_frames.h"
#include "phone_io.h"

using namespace phone;

namespace {

constexpr uint8_t kAudioType = static_cast<uint8_t>(qw::wire::FrameType::audio);
constexpr uint8_t kReportType = static_cast<uint8_t>(qw::wire::FrameType::report);
constexpr uint32_t kMaxAudioLength = qw::wire::kMaxBridgeFrameLength;
constexpr int64_t kSampleRate = qw::wire::kSampleRate;

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = qw::wire::kAppPort;
    std::string wavPath;
    int64_t reportMs = 1000;  // 0: no reports
    std::optional<std::string> reportText;
    Bytes reportRaw;           // when set (--report-hex), sent as the report payload
    int64_t reportLength = 0;  // pad or cut every report to this length field
    int64_t reportType = kReportType;
    int64_t closeAfterFrames = 0;
    int64_t closeAfterMs = 0;
    std::optional<uint32_t> badLength;
    int64_t badAfterFrames = 0;
    int64_t stallMs = 0;
    int64_t stallAfterFrames = 0;
    int64_t refuseMs = 0;
    int64_t downMs = 0;
    int64_t connections = 0;  // exit after this many connections ended; 0: never
    int64_t rcvbuf = 0;
    bool verifyPattern = false;
    bool raw = false;     // the stream is bare 16-bit stereo samples, without frames
    bool onsets = false;  // print the arrival time of every click (see reportOnsets)
};

// A click: the left channel rises to this level from below it.
constexpr int16_t kOnsetLevel = 8192;

const char* kUsage =
    "usage: phone-app [--host IPV4] [--port N] [--wav FILE] [--report-ms N] [--report-text T]\n"
    "                 [--report-hex HEX] [--report-length N] [--report-type N]\n"
    "                 [--close-after-frames N] [--close-after-ms N]\n"
    "                 [--bad-length 0|8192] [--bad-after-frames N]\n"
    "                 [--stall-ms N] [--stall-after-frames N] [--refuse-ms N] [--down-ms N]\n"
    "                 [--connections N] [--rcvbuf BYTES] [--verify-pattern] [--raw] [--onsets]\n"
    "commands on standard input: close | bad LENGTH | stall MS | refuse MS\n";

std::optional<Bytes> parseHex(std::string_view text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != ':') digits.push_back(c);
    }
    if (digits.size() % 2) return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(digits.substr(i, 2).c_str(), "%2x", &value) != 1) return std::nullopt;
        out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--verify-pattern" || arg == "--raw" || arg == "--onsets") {
            (arg == "--raw" ? o.raw : arg == "--onsets" ? o.onsets : o.verifyPattern) = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        std::string value = argv[++i];
        auto number = [&](int64_t min, int64_t max) { return parseNumber(value, min, max); };
        std::optional<int64_t> n;
        if (arg == "--host") {
            o.host = value;
        } else if (arg == "--wav") {
            o.wavPath = value;
        } else if (arg == "--report-text") {
            o.reportText = value;
        } else if (arg == "--report-hex") {
            auto raw = parseHex(value);
            if (!raw) return std::nullopt;
            o.reportRaw = *raw;
            o.reportText = std::string();
        } else if (arg == "--port") {
            if (!(n = number(1, 65535))) return std::nullopt;
            o.port = static_cast<uint16_t>(*n);
        } else if (arg == "--bad-length") {
            if (!(n = number(0, 0xFFFFFFFF))) return std::nullopt;
            o.badLength = static_cast<uint32_t>(*n);
        } else {
            int64_t* target = nullptr;
            int64_t max = int64_t{1} << 40;
            if (arg == "--report-ms") target = &o.reportMs;
            if (arg == "--report-length") target = &o.reportLength, max = 1 << 20;
            if (arg == "--report-type") target = &o.reportType, max = 255;
            if (arg == "--close-after-frames") target = &o.closeAfterFrames;
            if (arg == "--close-after-ms") target = &o.closeAfterMs;
            if (arg == "--bad-after-frames") target = &o.badAfterFrames;
            if (arg == "--stall-ms") target = &o.stallMs;
            if (arg == "--stall-after-frames") target = &o.stallAfterFrames;
            if (arg == "--refuse-ms") target = &o.refuseMs;
            if (arg == "--down-ms") target = &o.downMs;
            if (arg == "--connections") target = &o.connections;
            if (arg == "--rcvbuf") target = &o.rcvbuf;
            if (!target || !(n = number(0, max))) return std::nullopt;
            *target = *n;
        }
    }
    return o;
}

volatile std::sig_atomic_t gStop = 0;
void onStopSignal(int) {
    gStop = 1;
}

struct Connection {
    int fd = -1;
    int64_t id = 0;
    int64_t acceptedAt = 0;
    int64_t firstAudioAt = -1;
    int64_t frames = 0;
    int64_t bytes = 0;
    int64_t sampleFrames = 0;
    int64_t nextReportAt = 0;
    int64_t stallUntil = 0;
    bool stalled = false;  // a stall has begun on this connection (it happens once)
    bool badSent = false;
    int16_t lastLeft = 0;
    Bytes in;
    Bytes out;
};

class App {
  public:
    explicit App(Options options) : o(std::move(options)) {}

    int run() {
        if (!o.wavPath.empty() && !wav.open(o.wavPath)) {
            say("cannot write " + o.wavPath);
            return 1;
        }
        if (o.refuseMs > 0) {
            say("refusing connections for " + std::to_string(o.refuseMs) + " ms");
            listenAgainAt = nowMs() + o.refuseMs;
        } else if (!openListener()) {
            return 1;
        }
        while (!gStop && !(o.connections > 0 && ended >= o.connections)) step();
        if (conn.fd >= 0) endConnection("app stopped");
        wav.finish();
        say("exiting");
        return 0;
    }

  private:
    bool openListener() {
        listenFd = listenTcp(o.host, o.port);
        if (listenFd < 0) {
            say("cannot listen on " + o.host + ":" + std::to_string(o.port));
            return false;
        }
        if (o.rcvbuf > 0) {
            int size = static_cast<int>(o.rcvbuf);
            ::setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        listenAgainAt = -1;
        say("listening on " + o.host + ":" + std::to_string(o.port));
        return true;
    }

    void step() {
        const int64_t now = nowMs();
        int64_t deadline = now + 1000;
        auto until = [&](int64_t t) {
            if (t >= 0) deadline = std::min(deadline, t);
        };
        if (listenAgainAt >= 0) until(listenAgainAt);
        if (conn.fd >= 0) {
            if (o.reportMs > 0) until(conn.nextReportAt);
            if (o.closeAfterMs > 0) until(conn.acceptedAt + o.closeAfterMs);
            if (conn.stallUntil > now) until(conn.stallUntil);
        }

        std::vector<pollfd> fds;
        if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
        if (conn.fd < 0 && listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
        if (conn.fd >= 0) {
            short events = 0;
            if (conn.stallUntil <= now) events |= POLLIN;
            if (!conn.out.empty()) events |= POLLOUT;
            fds.push_back({conn.fd, events, 0});
        }
        int timeout = static_cast<int>(std::max<int64_t>(0, deadline - now));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;

        for (const pollfd& p : fds) {
            if (p.fd == STDIN_FILENO && (p.revents & (POLLIN | POLLHUP | POLLERR))) readCommands();
            if (p.fd == listenFd && (p.revents & POLLIN)) acceptOne();
            if (p.fd == conn.fd && p.fd >= 0) {
                if (p.revents & POLLOUT) flushOut();
                if (conn.fd >= 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) readSome();
            }
        }
        onTimers(nowMs());
    }

    void onTimers(int64_t now) {
        if (listenAgainAt >= 0 && now >= listenAgainAt && !openListener()) {
            listenAgainAt = now + 50;  // the port may still be held a moment; try again
        }
        if (conn.fd < 0) return;
        if (o.closeAfterMs > 0 && now >= conn.acceptedAt + o.closeAfterMs) {
            endConnection("closed after " + std::to_string(o.closeAfterMs) + " ms");
            return;
        }
        if (o.reportMs > 0 && now >= conn.nextReportAt) {
            queueReport(now);
            conn.nextReportAt = now + o.reportMs;
        }
    }

    void readCommands() {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            stdinOpen = false;
            return;
        }
        commandText.append(chunk, static_cast<size_t>(n));
        for (size_t newline; (newline = commandText.find('\n')) != std::string::npos;) {
            runCommand(commandText.substr(0, newline));
            commandText.erase(0, newline + 1);
        }
        if (commandText.size() > 4096) commandText.clear();  // no command is that long
    }

    // close: end the connection, keep listening. bad LENGTH: send a frame header with that
    // length. stall MS: stop reading for MS. refuse MS: end the connection (if any) and stop
    // listening for MS. The first three need a connection and say so when there is none.
    void runCommand(const std::string& line) {
        const size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        std::optional<int64_t> n;
        if (space != std::string::npos) n = parseNumber(line.substr(space + 1), 0, 0xFFFFFFFF);
        const bool valid =
            verb == "close"
                ? space == std::string::npos
                : (verb == "bad" || verb == "stall" || verb == "refuse") && n.has_value();
        if (!valid) {
            say("bad command: " + printableCommand(line));
        } else if (verb != "refuse" && conn.fd < 0) {
            say("no connection for: " + printableCommand(line));
        } else if (verb == "close") {
            endConnection("closed on command");
        } else if (verb == "bad") {
            sendBadLength(static_cast<uint32_t>(*n));
        } else if (verb == "stall") {
            conn.stallUntil = nowMs() + *n;
            say("stalling for " + std::to_string(*n) + " ms");
        } else {  // refuse
            // The listener goes first: a reconnect landing between the two steps would otherwise
            // be accepted by the kernel and then reset, a second loss for one fault.
            if (listenFd >= 0) ::close(listenFd);
            listenFd = -1;
            if (conn.fd >= 0) endConnection("closed on command");
            listenAgainAt = nowMs() + *n;
            say("refusing connections for " + std::to_string(*n) + " ms");
        }
    }

    static std::string printableCommand(const std::string& line) {
        std::string out;
        for (char c : line.substr(0, 80)) out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
        return out;
    }

    void sendBadLength(uint32_t length) {
        Bytes bad;
        appendLe32(bad, length);
        bad.push_back(kReportType);
        queue(bad);
        say("sent length " + std::to_string(length) + " on connection " + std::to_string(conn.id));
    }

    void acceptOne() {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setNonBlocking(fd);
        conn = Connection{};
        conn.fd = fd;
        conn.id = ++accepted;
        conn.acceptedAt = nowMs();
        conn.nextReportAt = conn.acceptedAt + o.reportMs;
        say("connection " + std::to_string(conn.id) + " accepted");
        if (o.connections > 0 && accepted >= o.connections) {
            // The last connection this run serves: later attempts are refused, not left
            // waiting in the backlog.
            ::close(listenFd);
            listenFd = -1;
        }
    }

    void endConnection(const std::string& reason) {
        ::close(conn.fd);
        conn.fd = -1;
        ++ended;
        wav.finish();
        say("connection " + std::to_string(conn.id) + " ended: frames " +
            std::to_string(conn.frames) + " bytes " + std::to_string(conn.bytes) + " samples " +
            std::to_string(conn.sampleFrames) + " (" + reason + ")");
        if (o.downMs > 0 && listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
            listenAgainAt = nowMs() + o.downMs;
            say("refusing connections for " + std::to_string(o.downMs) + " ms");
        }
    }

    void readSome() {
        uint8_t chunk[65536];
        ssize_t n = ::read(conn.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            endConnection(n == 0 ? "peer closed" : std::string("read error: ") + strerror(errno));
            return;
        }
        conn.in.insert(conn.in.end(), chunk, chunk + n);
        conn.bytes += n;
        parseFrames();
    }

    // Takes every complete frame out of the input buffer. Any framing fault ends the
    // connection: after one, the byte stream can no longer be trusted.
    void parseFrames() {
        size_t pos = 0;
        if (o.raw) {  // whole stereo samples; a partial one waits for its rest
            pos = conn.in.size() - conn.in.size() % 4;
            if (pos > 0) acceptAudio(conn.in.data(), pos);
            if (conn.fd >= 0) conn.in.erase(conn.in.begin(), conn.in.begin() + pos);
            return;
        }
        FrameView f;
        uint32_t badLength = 0;
        while (conn.fd >= 0) {
            const Split split = splitFrame(conn.in, pos, kMaxAudioLength, f, badLength);
            if (split == Split::badLength) return badFrame("length " + std::to_string(badLength));
            if (split == Split::incomplete) break;
            if (f.type != kAudioType) return badFrame("type " + std::to_string(f.type));
            if (f.size % 4) return badFrame("payload of " + std::to_string(f.size));
            if (o.verifyPattern && !patternHolds(f.payload, f.size)) {
                return badFrame("payload pattern broken");
            }
            acceptAudio(f.payload, f.size);
        }
        if (conn.fd >= 0) conn.in.erase(conn.in.begin(), conn.in.begin() + pos);
    }

    // The test pattern: every sample frame of one audio frame holds the same value on both
    // channels, so a frame spliced from two others is noticed.
    static bool patternHolds(const uint8_t* payload, size_t size) {
        for (size_t i = 0; i < size; i += 4) {
            if (std::memcmp(payload + i, payload, 4) != 0) return false;
            if (payload[i] != payload[i + 2] || payload[i + 1] != payload[i + 3]) return false;
        }
        return true;
    }

    void badFrame(const std::string& what) {
        say("bad frame on connection " + std::to_string(conn.id) + ": " + what);
        endConnection("bad frame");
    }

    void acceptAudio(const uint8_t* payload, size_t size) {
        const int64_t now = nowMs();
        if (conn.firstAudioAt < 0) conn.firstAudioAt = now;
        if (o.onsets) reportOnsets(payload, size);
        ++conn.frames;
        conn.sampleFrames += static_cast<int64_t>(size / 4);
        wav.append(payload, size);
        if (o.badLength && !conn.badSent && conn.frames >= o.badAfterFrames) {
            conn.badSent = true;
            sendBadLength(*o.badLength);
        }
        if (o.stallMs > 0 && !conn.stalled && conn.frames >= o.stallAfterFrames) {
            conn.stalled = true;
            conn.stallUntil = now + o.stallMs;
            say("stalling for " + std::to_string(o.stallMs) + " ms");
        }
        if (o.closeAfterFrames > 0 && conn.frames >= o.closeAfterFrames) {
            endConnection("closed after " + std::to_string(conn.frames) + " frames");
        }
    }

    // "onset NS code C": a click arrived; NS is the monotonic clock in nanoseconds when its bytes
    // were read, C the right channel's sample at the click (the sender's number for it).
    void reportOnsets(const uint8_t* payload, size_t size) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        const int64_t ns = int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
        for (size_t i = 0; i + 4 <= size; i += 4) {
            const auto left = static_cast<int16_t>(payload[i] | payload[i + 1] << 8);
            const auto right = static_cast<int16_t>(payload[i + 2] | payload[i + 3] << 8);
            if (left >= kOnsetLevel && conn.lastLeft < kOnsetLevel) {
                say("onset " + std::to_string(ns) + " code " + std::to_string(right));
            }
            conn.lastLeft = left;
        }
    }

    void queueReport(int64_t now) {
        Bytes payload;
        if (!o.reportRaw.empty()) {
            payload = o.reportRaw;
        } else {
            std::string text = o.reportText ? *o.reportText : statusText(now);
            payload.assign(text.begin(), text.end());
        }
        if (o.reportLength > 0) payload.resize(static_cast<size_t>(o.reportLength - 1), '.');
        Bytes frame;
        appendFrame(frame, static_cast<uint8_t>(o.reportType), payload.data(), payload.size());
        queue(frame);
    }

    // "frames 120 seconds 0.640 buffer 35 ms": what arrived on this connection and how much
    // sound a player started at the first frame would still have buffered.
    std::string statusText(int64_t now) const {
        int64_t playedFrames =
            conn.firstAudioAt < 0 ? 0 : (now - conn.firstAudioAt) * kSampleRate / 1000;
        int64_t bufferedMs =
            std::max<int64_t>(0, conn.sampleFrames - playedFrames) * 1000 / kSampleRate;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f",
                      static_cast<double>(conn.sampleFrames) / kSampleRate);
        return "frames " + std::to_string(conn.frames) + " seconds " + seconds + " buffer " +
               std::to_string(bufferedMs) + " ms";
    }

    void queue(const Bytes& bytes) {
        conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
        flushOut();
    }

    void flushOut() {
        while (conn.fd >= 0 && !conn.out.empty()) {
            ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) return endConnection(std::string("write error: ") + strerror(errno));
            conn.out.erase(conn.out.begin(), conn.out.begin() + n);
        }
    }

    Options o;
    qw::WavWriter wav;
    int listenFd = -1;
    int64_t listenAgainAt = -1;
    int64_t accepted = 0;
    int64_t ended = 0;
    Connection conn;
    bool stdinOpen = true;
    std::string commandText;
};

}  // namespace

int main(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return App(std::move(*options)).run();
}
