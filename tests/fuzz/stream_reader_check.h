#pragma once
// The stream reader's fuzz check, shared by the target for the reader alone and the one for the
// whole receiver core: arbitrary bytes, cut into pieces at arbitrary places, go to the reader,
// which must agree with a plain in-memory reading of the same bytes: the same audio, the same
// counts, broken at the same frame.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/little_endian.h"
#include "common/wire_format.h"
#include "stream_reader.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

struct Collect final : qw::receiver::AudioSink {
    virtual ~Collect() = default;
    void onAudio(const uint8_t* samples, size_t frames) override {
        bytes.insert(bytes.end(), samples, samples + frames * 4);
    }
    std::vector<uint8_t> bytes;
};

struct Expected {
    std::vector<uint8_t> audio;
    uint64_t audioFrames = 0, badPayloads = 0, skipped = 0;
    bool broken = false;
};

Expected readWhole(const uint8_t* data, size_t size) {
    Expected e;
    size_t pos = 0;
    while (size - pos >= 4) {
        const uint32_t length = qw::getLe32(data + pos);
        if (length == 0 || length > qw::wire::kMaxBridgeFrameLength) {
            e.broken = true;
            break;
        }
        if (size - pos - 4 < length) break;  // incomplete: its audio may be partly delivered
        const uint8_t type = data[pos + 4];
        const size_t payload = length - 1;
        if (type == 1 && payload % 4 == 0) {
            ++e.audioFrames;
            e.audio.insert(e.audio.end(), data + pos + 5, data + pos + 5 + payload);
        } else if (type == 1) {
            ++e.badPayloads;
        } else {
            ++e.skipped;
        }
        pos += 4 + length;
    }
    return e;
}

// Feeds `data` to a new reader in pieces of `piece` bytes and checks it against readWhole.
inline void checkStreamReader(const uint8_t* data, size_t size, size_t piece) {
    qw::receiver::StreamReader reader;
    Collect sink;
    bool ok = true;
    for (size_t at = 0; at < size && ok; at += piece) {
        ok = reader.feed(data + at, std::min(piece, size - at), sink);
    }
    const Expected e = readWhole(data, size);
    check(ok == !e.broken);
    check(reader.counts().audioFrames >= e.audioFrames);
    check(reader.counts().badPayloads >= e.badPayloads);
    check(reader.counts().skippedFrames >= e.skipped);
    // Whole frames' audio comes out exactly; an incomplete last frame may add whole samples.
    check(sink.bytes.size() >= e.audio.size());
    check(sink.bytes.size() % 4 == 0);
    check(e.audio.empty() || std::memcmp(sink.bytes.data(), e.audio.data(), e.audio.size()) == 0);
}

}  // namespace
