// qw-raw-clicks: writes numbered clicks as raw 48 kHz 16-bit stereo to standard output, paced by
// the monotonic clock in 64-frame pieces, as parec hands the sink's monitor to socat. Run as
// socat's EXEC in place of parec, it measures what the capture path costs after PulseAudio:
// the pipe, socat, the TCP hop and the receiving app.
//
//   qw-raw-clicks --count N --interval-ms MS --log FILE
//
// Click k is one sample frame: left = half scale, right = k mod 16384 (as qw-pulse-clicks).
// For each click a line "click K output 0 mixed NS rendered NS" goes to FILE, NS being the
// monotonic clock just before the write of the piece that holds it; "done" follows the last.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "monotonic_ns.h"

namespace {

constexpr int64_t kRate = 48000;
constexpr int64_t kFramesPerPiece = 64;
constexpr int64_t kPieceNs = kFramesPerPiece * 1000000000 / kRate;
constexpr int64_t kLeadInMs = 500;
constexpr int64_t kTailMs = 500;

void sleepUntil(int64_t ns) {
    const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void put16(uint8_t* p, int v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

bool writeAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 0, intervalMs = 0;
    std::string logPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--count") {
            count = std::strtol(argv[i + 1], nullptr, 10);
        } else if (arg == "--interval-ms") {
            intervalMs = std::strtol(argv[i + 1], nullptr, 10);
        } else if (arg == "--log") {
            logPath = argv[i + 1];
        }
    }
    if (argc % 2 == 0 || count < 1 || count > 100000 || intervalMs < 1 || logPath.empty()) {
        std::fprintf(stderr, "usage: qw-raw-clicks --count N --interval-ms MS --log FILE\n");
        return 2;
    }
    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (log == nullptr) return 1;
    const int64_t intervalFrames = intervalMs * kRate / 1000;
    const int64_t totalFrames = (kLeadInMs + count * intervalMs + kTailMs) * kRate / 1000;
    std::vector<uint8_t> piece(kFramesPerPiece * 4);
    const int64_t start = monotonicNs();
    for (int64_t first = 0, p = 0; first < totalFrames; first += kFramesPerPiece, ++p) {
        sleepUntil(start + p * kPieceNs);
        std::fill(piece.begin(), piece.end(), 0);
        long click = -1;
        for (int64_t i = 0; i < kFramesPerPiece; ++i) {
            const int64_t sinceLeadIn = first + i - kLeadInMs * kRate / 1000;
            if (sinceLeadIn < 0 || sinceLeadIn % intervalFrames != 0) continue;
            if (sinceLeadIn / intervalFrames >= count) continue;
            click = static_cast<long>(sinceLeadIn / intervalFrames);
            put16(piece.data() + i * 4, 16384);
            put16(piece.data() + i * 4 + 2, static_cast<int>(click % 16384));
        }
        const auto before = static_cast<long long>(monotonicNs());
        if (!writeAll(piece.data(), piece.size())) {
            std::fprintf(log, "failed: write\n");
            break;
        }
        if (click >= 0)
            std::fprintf(log, "click %ld output 0 mixed %lld rendered %lld\n", click, before,
                         before);
    }
    std::fprintf(log, "done\n");
    std::fclose(log);
    return 0;
}
