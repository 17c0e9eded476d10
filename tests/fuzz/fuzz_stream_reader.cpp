// Feeds arbitrary bytes, cut into pieces at arbitrary places, to the receiver's stream reader
// (stream_reader_check.h) and to the whole receiver core, resampler included. The reader alone
// has a faster sibling, fuzz_stream_reader_only.cpp.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/wire_format.h"
#include "quillwave_receiver.h"
#include "stream_reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the piece size for the feed: 1 to 256 bytes.
    const size_t piece = size_t{data[0]} + 1;
    ++data;
    --size;
    checkStreamReader(data, size, piece);

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
