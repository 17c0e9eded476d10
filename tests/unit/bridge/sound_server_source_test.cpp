// The sound-server capture's pieces that need no server: which source the command line
// chooses, the sink's module arguments and the stream's buffer attributes, and how a piece
// from the monitor becomes audio frames.

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "capture_choice.h"
#include "common/wire_format.h"
#include "globals.h"
#include "link_state.h"
#include "monitor_stream.h"
#include "quillwave_sink.h"

namespace {

CaptureSource choose(std::vector<std::string> args) {
    args.insert(args.begin(), "tetherstream");
    return captureSourceFrom(args);
}

TEST(CaptureChoice, TheSoundServerUnlessTheStandInIsAskedForByName) {
    EXPECT_EQ(choose({}), CaptureSource::soundServer);
    EXPECT_EQ(choose({"--tcp", "10.0.0.2"}), CaptureSource::soundServer);
    EXPECT_EQ(choose({"--capture", "standin"}), CaptureSource::standIn);
    EXPECT_EQ(choose({"--tcp", "--verbose", "--capture", "standin"}), CaptureSource::standIn);
    EXPECT_EQ(choose({"--capture", "pulse"}), CaptureSource::soundServer);
    EXPECT_EQ(choose({"--capture"}), CaptureSource::soundServer);             // no value
    EXPECT_EQ(choose({"standin", "--capture"}), CaptureSource::soundServer);  // wrong order
    EXPECT_EQ(choose({"--capture", "StandIn"}), CaptureSource::soundServer);
    EXPECT_EQ(captureSourceFrom({"--capture", "standin"}), CaptureSource::soundServer)
        << "the program path is never an option";
}

TEST(QuillwaveSink, MadeInTheStreamFormatAndAskedForInPiecesOf256Frames) {
    EXPECT_EQ(nullSinkArguments(),
              "sink_name=quillwave sink_properties=device.description=Quillwave rate=48000 "
              "format=s16le channels=2 channel_map=front-left,front-right");
    const pa_buffer_attr a = monitorBufferAttributes();
    EXPECT_EQ(a.fragsize, 256u * 4u);
    EXPECT_EQ(a.maxlength, static_cast<uint32_t>(-1));
}

void setLink(int32_t fd) {
    pthread_mutex_lock(&gLock);
    gTunnels = fd;
    pthread_mutex_unlock(&gLock);
}

std::vector<Bytes> drainAll() {
    sendQ.push(makeFrame(FrameType::report, {}));
    auto batch = sendQ.drain();
    batch.pop_back();
    return batch;
}

// A long piece (after a stall) is split into frames of at most 1024 sample frames, in order,
// each a complete audio frame whose payload is the piece's bytes unchanged; a partial sample
// frame at the end is dropped; nothing is queued without a link.
TEST(MonitorPieces, BecomeAudioFramesOfAtMost1024SampleFramesWithTheBytesUnchanged) {
    std::vector<uint8_t> piece(2500 * 4 + 3);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 7 + i / 251);
    setLink(-1);
    queueAudio(piece.data(), piece.size());
    setLink(99);  // any descriptor: nothing is written here, only queued
    queueAudio(piece.data(), piece.size());
    queueAudio(piece.data(), 3);  // less than one sample frame
    setLink(-1);

    const auto frames = drainAll();
    ASSERT_EQ(frames.size(), 3u);
    const size_t sizes[] = {1024, 1024, 452};
    size_t at = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        const Bytes& f = frames[k];
        const size_t payload = sizes[k] * qw::wire::kBytesPerFrame;
        ASSERT_EQ(f.size(), qw::wire::kHeaderSize + payload);
        const uint32_t length = f[0] | f[1] << 8 | f[2] << 16 | static_cast<uint32_t>(f[3]) << 24;
        EXPECT_EQ(length, payload + 1);
        EXPECT_EQ(f[4], static_cast<uint8_t>(FrameType::audio));
        EXPECT_TRUE(std::equal(f.begin() + 5, f.end(), piece.begin() + static_cast<long>(at)));
        at += payload;
    }
}

}  // namespace
