// The sound-server capture's pieces that need no server: which source the command line
// chooses, the sink's module arguments and the stream's buffer attributes, and how a piece
// from the monitor becomes audio frames.

// The counting operator new below pairs malloc with free; GCC cannot see that through inlining.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "capture_choice.h"
#include "common/little_endian.h"
#include "common/wire_format.h"
#include "frame_pool.h"
#include "globals.h"
#include "link_state.h"
#include "monitor_stream.h"
#include "quillwave_sink.h"

namespace {

// Heap calls made on this thread while armed.
thread_local bool gCountHeap = false;
std::atomic<int> gAllocations{0};
std::atomic<int> gFrees{0};

}  // namespace

void* operator new(size_t size) {
    if (gCountHeap) ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (gCountHeap && p != nullptr) ++gFrees;
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    if (gCountHeap && p != nullptr) ++gFrees;
    std::free(p);
}

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

// A sender stalled for 2 s while the monitor hands over pieces of 40 sample frames: the pieces
// join into frames of up to 1024 sample frames, the queue keeps the newest 1.5 s of sound in
// order (not 256 small frames: about 0.2 s), and the capture thread neither allocates nor frees.
TEST(MonitorPieces, ThroughATwoSecondSenderStallTheQueueKeepsTheNewestSecondAndAHalf) {
    constexpr size_t kMostPayload = kMostFramesPerFrame * qw::wire::kBytesPerFrame;
    gFramePool.growBuffers(kPrefilledFrameBuffers, qw::wire::kHeaderSize + kMostPayload);
    setLink(99);
    sendQ.maxDepthSampleFrames = 0;
    constexpr uint32_t kPiece = 40;
    constexpr uint32_t kTotal = 2 * qw::wire::kSampleRate;  // 2 s of sound
    uint8_t piece[kPiece * 4];
    for (uint32_t n = 0; n < kTotal; n += kPiece) {
        for (uint32_t i = 0; i < kPiece; ++i) qw::putLe32(piece + 4 * i, n + i);  // its index
        gCountHeap = true;
        queueAudio(piece, sizeof piece);
        gCountHeap = false;
    }
    setLink(-1);
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_EQ(gFrees.load(), 0);
    EXPECT_LE(sendQ.maxDepthSampleFrames.load(), int64_t{kSendQueueSampleLimit});
    EXPECT_GT(sendQ.maxDepthSampleFrames.load(), int64_t{kSendQueueSampleLimit - 1024});

    // What is queued: whole frames of at most 1024 sample frames, the stream's last sample
    // frames in order, up to the very last one.
    const auto frames = drainAll();
    std::vector<uint32_t> indices;
    for (const Bytes& f : frames) {
        ASSERT_GE(f.size(), qw::wire::kHeaderSize);
        EXPECT_EQ(qw::getLe32(f.data()), f.size() - 4);
        EXPECT_EQ(f[4], static_cast<uint8_t>(FrameType::audio));
        EXPECT_LE(f.size() - qw::wire::kHeaderSize, kMostPayload);
        for (size_t at = qw::wire::kHeaderSize; at + 4 <= f.size(); at += 4) {
            indices.push_back(qw::getLe32(f.data() + at));
        }
    }
    ASSERT_GT(indices.size(), kSendQueueSampleLimit - 1024);
    EXPECT_LE(indices.size(), kSendQueueSampleLimit);
    EXPECT_EQ(indices.back(), kTotal - 1);
    for (size_t i = 1; i < indices.size(); ++i) ASSERT_EQ(indices[i], indices[i - 1] + 1) << i;
}

}  // namespace
