// The receiver's stream reader against streams split every possible way and against the limits
// on what the peer may send.

#include "stream_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/little_endian.h"

namespace {

using qw::receiver::StreamReader;
using Bytes = std::vector<uint8_t>;

struct Collect final : qw::receiver::AudioSink {
    virtual ~Collect() = default;
    void onAudio(const uint8_t* samples, size_t frames) override {
        bytes.insert(bytes.end(), samples, samples + frames * 4);
        ++calls;
    }
    Bytes bytes;
    int calls = 0;
};

void append(Bytes& out, uint32_t length, uint8_t type, const Bytes& payload) {
    uint8_t header[4];
    qw::putLe32(header, length);
    out.insert(out.end(), header, header + 4);
    out.push_back(type);
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// Audio of 3 and 1 sample frames, an empty audio frame, a report, an unknown type, an audio
// payload of 6 bytes (not whole frames), then 2 more sample frames.
Bytes mixedStream(Bytes& expectedAudio) {
    Bytes s;
    const Bytes a = pattern(12, 1), b = pattern(4, 50), c = pattern(8, 90);
    append(s, 13, 1, a);
    append(s, 5, 1, b);
    append(s, 1, 1, {});
    append(s, 3, 3, {'o', 'k'});
    append(s, 4, 200, {9, 9, 9});
    append(s, 7, 1, pattern(6, 70));
    append(s, 9, 1, c);
    expectedAudio = a;
    expectedAudio.insert(expectedAudio.end(), b.begin(), b.end());
    expectedAudio.insert(expectedAudio.end(), c.begin(), c.end());
    return s;
}

TEST(ReceiverStreamReader, EverySplitOfAMixedStreamGivesTheSameAudioAndCounts) {
    Bytes expected;
    const Bytes stream = mixedStream(expected);
    for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 3) {
            StreamReader reader;
            Collect sink;
            ASSERT_TRUE(reader.feed(stream.data(), cut1, sink));
            ASSERT_TRUE(reader.feed(stream.data() + cut1, cut2 - cut1, sink));
            ASSERT_TRUE(reader.feed(stream.data() + cut2, stream.size() - cut2, sink));
            ASSERT_EQ(sink.bytes, expected) << "cuts " << cut1 << " " << cut2;
            EXPECT_EQ(reader.counts().audioFrames, 4u);
            EXPECT_EQ(reader.counts().badPayloads, 1u);
            EXPECT_EQ(reader.counts().skippedFrames, 2u);
            EXPECT_EQ(reader.counts().lastAudioFrames, 2u);
        }
    }
    // Byte by byte as well.
    StreamReader reader;
    Collect sink;
    for (uint8_t byte : stream) ASSERT_TRUE(reader.feed(&byte, 1, sink));
    EXPECT_EQ(sink.bytes, expected);
}

TEST(ReceiverStreamReader, LengthLimitsEndTheStreamUntilReset) {
    Collect sink;
    {  // the largest frame the bridge may send is accepted whole
        StreamReader reader;
        Bytes s;
        append(s, 65536, 1, pattern(65535, 3));  // 65535 is not whole frames: dropped, counted
        append(s, 65533, 1, pattern(65532, 3));
        ASSERT_TRUE(reader.feed(s.data(), s.size(), sink));
        EXPECT_EQ(reader.counts().badPayloads, 1u);
        EXPECT_EQ(sink.bytes.size(), 65532u);
    }
    for (uint32_t bad : {0u, 65537u, 0xFFFFFFFFu}) {
        StreamReader reader;
        Bytes s;
        append(s, 5, 1, pattern(4, 1));
        uint8_t header[4];
        qw::putLe32(header, bad);
        s.insert(s.end(), header, header + 4);  // judged before any type or payload byte
        EXPECT_FALSE(reader.feed(s.data(), s.size(), sink)) << bad;
        EXPECT_TRUE(reader.broken());
        const Bytes more = pattern(9, 1);
        EXPECT_FALSE(reader.feed(more.data(), more.size(), sink));
        reader.reset();
        Bytes good;
        append(good, 5, 1, pattern(4, 1));
        sink.bytes.clear();
        EXPECT_TRUE(reader.feed(good.data(), good.size(), sink));
        EXPECT_EQ(sink.bytes.size(), 4u);
    }
}

TEST(ReceiverStreamReader, ResetMidFrameStartsTheNextFrameCleanly) {
    StreamReader reader;
    Collect sink;
    Bytes s;
    append(s, 9, 1, pattern(8, 1));
    ASSERT_TRUE(reader.feed(s.data(), 7, sink));  // header and two bytes of the first sample
    reader.reset();
    sink.bytes.clear();
    ASSERT_TRUE(reader.feed(s.data(), s.size(), sink));
    EXPECT_EQ(sink.bytes, pattern(8, 1));
}

}  // namespace
