// The product's frames and the phone stand-ins' frames are written and read by separate code on
// purpose; these fixed bytes pin both to the same layout, in both directions and at both limits.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/capture/coreaudio/render_callback.h"
#include "bridge/frame.h"
#include "common/frame_header.h"
#include "phone_frames.h"
#include "stream_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qw::wire::FrameType;

// Two sample frames, left {1, 0} and right {-1, 0.5}: 32767, -32767 / 0, 16383.
const Bytes kAudio = {0x09, 0, 0, 0, 0x01, 0xFF, 0x7F, 0x01, 0x80, 0x00, 0x00, 0xFF, 0x3F};
const Bytes kReport = {0x03, 0, 0, 0, 0x03, 'o', 'k'};
const Bytes kAudioPayload(kAudio.begin() + 5, kAudio.end());
const Bytes kReportPayload = {'o', 'k'};

// A report frame as the receiver's connection server writes it: header in place, then the text.
Bytes receiverReport(const Bytes& text) {
    Bytes out(qw::wire::kHeaderSize + text.size());
    uint8_t* payload = qw::wire::writeFrameHeader(out.data(), FrameType::report, text.size());
    std::copy(text.begin(), text.end(), payload);
    return out;
}

struct Collect final : qw::receiver::AudioSink {
    virtual ~Collect() = default;
    void onAudio(const uint8_t* samples, size_t frames) override {
        bytes.insert(bytes.end(), samples, samples + frames * qw::wire::kBytesPerFrame);
    }
    Bytes bytes;
};

// A header alone: `length` and the audio type.
Bytes lengthOnly(uint32_t length) {
    return {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24),
            0x01};
}

TEST(WireGoldenBytes, ProductAndPhoneWriteTheSameBytes) {
    const float left[] = {1.0f, 0.0f};
    const float right[] = {-1.0f, 0.5f};
    Bytes inPlace(3, 0xEE);  // a recycled buffer: resized and overwritten whole
    writeAudioFrame(inPlace, left, right, 2);
    EXPECT_EQ(inPlace, kAudio);
    EXPECT_EQ(makeFrame(FrameType::audio, kAudioPayload), kAudio);
    EXPECT_EQ(makeFrame(FrameType::report, kReportPayload), kReport);
    EXPECT_EQ(receiverReport(kReportPayload), kReport);

    Bytes phoneBytes;
    phone::appendFrame(phoneBytes, 1, kAudioPayload.data(), kAudioPayload.size());
    EXPECT_EQ(phoneBytes, kAudio);
    phoneBytes.clear();
    phone::appendFrame(phoneBytes, 3, kReportPayload.data(), kReportPayload.size());
    EXPECT_EQ(phoneBytes, kReport);
}

TEST(WireGoldenBytes, EachSideReadsTheOthersBytesWithinItsOwnLimit) {
    // Phone reads what the bridge and the receiver wrote.
    Bytes stream = kAudio;
    stream.insert(stream.end(), kReport.begin(), kReport.end());
    size_t pos = 0;
    phone::FrameView f;
    uint32_t bad = 0;
    ASSERT_EQ(phone::splitFrame(stream, pos, qw::wire::kMaxBridgeFrameLength, f, bad),
              phone::Split::frame);
    EXPECT_EQ(f.type, 1);
    EXPECT_EQ(Bytes(f.payload, f.payload + f.size), kAudioPayload);
    ASSERT_EQ(phone::splitFrame(stream, pos, qw::wire::kMaxBridgeFrameLength, f, bad),
              phone::Split::frame);
    EXPECT_EQ(f.type, 3);
    EXPECT_EQ(pos, stream.size());

    // The receiver reads the same stream one byte at a time: audio kept, report skipped.
    qw::receiver::StreamReader reader;
    Collect sink;
    for (uint8_t byte : stream) ASSERT_TRUE(reader.feed(&byte, 1, sink));
    EXPECT_EQ(sink.bytes, kAudioPayload);
    EXPECT_EQ(reader.counts().skippedFrames, 1u);

    // The bridge reads a report the phone wrote.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], kReport.data(), kReport.size()), ssize_t(kReport.size()));
    const auto frame = readFrame(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->type, 3);
    EXPECT_EQ(frame->payload, kReportPayload);

    // Limits: 8191 toward the bridge, 65536 toward a receiver, the same on the phone's side.
    qw::wire::FrameHeader header;
    for (const auto& [length, limit] : {std::pair{8191u, qw::wire::kMaxAppFrameLength},
                                        std::pair{65536u, qw::wire::kMaxBridgeFrameLength}}) {
        const Bytes fits = lengthOnly(length);
        const Bytes over = lengthOnly(length + 1);
        EXPECT_TRUE(qw::wire::readFrameHeader(fits.data(), limit, header)) << length;
        EXPECT_FALSE(qw::wire::readFrameHeader(over.data(), limit, header)) << length;
        EXPECT_EQ(header.length, length + 1);  // a bad length is still reported
        pos = 0;
        EXPECT_EQ(phone::splitFrame(fits, pos, limit, f, bad), phone::Split::incomplete);
        EXPECT_EQ(phone::splitFrame(over, pos, limit, f, bad), phone::Split::badLength);
        EXPECT_EQ(bad, length + 1);
    }
    EXPECT_FALSE(qw::wire::readFrameHeader(lengthOnly(0).data(), 65536, header));
    reader.reset();
    EXPECT_TRUE(reader.feed(lengthOnly(65536).data(), 5, sink));
    reader.reset();
    EXPECT_FALSE(reader.feed(lengthOnly(65537).data(), 5, sink));
}

}  // namespace
