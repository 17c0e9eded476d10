// Feeds arbitrary bytes, cut into pieces at arbitrary places, to the receiver's stream reader
// and to the whole receiver core, and checks the reader against a plain in-memory reading of
// the same bytes: the same audio, the same counts, broken at the same frame.

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/little_endian.h"
#include "common/wire_format.h"
#include "quillwave_receiver.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the piece size for the feed: 1 to 256 bytes.
    const size_t piece = size_t{data[0]} + 1;
    ++data;
    --size;
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

    // The whole core: feeding and pulling never crashes and always fills what was asked.
    qw_receiver_config config = qw_receiver_config_init(48000);
    config.latency_ms = 2.0;
    qw_receiver* receiver = qw_receiver_create(&config, nullptr);
    qw_receiver_new_connection(receiver);
    std::vector<int16_t> out(2 * 300);
    for (size_t at = 0; at < size; at += piece) {
        if (qw_receiver_feed(receiver, data + at, std::min(piece, size - at)) != 0) {
            qw_receiver_new_connection(receiver);
        }
        qw_receiver_pull_s16(receiver, out.data(), static_cast<uint32_t>(piece));
    }
    char text[qw::wire::kMaxAppFrameLength];
    check(qw_receiver_report_text(receiver, text, sizeof text) < sizeof text);
    qw_receiver_destroy(receiver);
    return 0;
}
