// The sound-server capture's pieces that need no server: which source the command line
// chooses, the sink's module arguments and the stream's buffer attributes, and how a piece
// from the monitor becomes audio frames.

// The counting operator new below pairs malloc with free; GCC cannot see that through inlining.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bridge/capture/capture_choice.h"
#include "bridge/capture/frame_sink.h"
#include "bridge/capture/pulse/monitor_stream.h"
#include "bridge/capture/pulse/quillwave_sink.h"
#include "bridge/frame_pool.h"
#include "bridge/globals.h"
#include "bridge/link_state.h"
#include "bridge/send_queue.h"
#include "common/little_endian.h"
#include "common/wire_format.h"

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

TEST(QuillwaveSink, MadeInTheStreamFormatAndAskedForInPiecesOf256Frames) {
    EXPECT_EQ(nullSinkArguments(),
              "sink_name=quillwave sink_properties=device.description=Quillwave rate=48000 "
              "format=s16le channels=2 channel_map=front-left,front-right");
    const pa_buffer_attr a = monitorBufferAttributes();
    EXPECT_EQ(a.fragsize, 256u * 4u);
    EXPECT_EQ(a.maxlength, static_cast<uint32_t>(-1));
}

// A link published for the life of the object (one end of a socket pair; nothing is written to
// it here, only queued), retired at its end as the link supervisor does.
class PublishedLink {
  public:
    PublishedLink() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        peer = ends[1];
        generation = publishLink(ends[0]);
    }
    ~PublishedLink() {
        retireLink(generation);
        close(peer);
    }
    PublishedLink(const PublishedLink&) = delete;
    PublishedLink& operator=(const PublishedLink&) = delete;

  private:
    int peer = -1;
    uint64_t generation = 0;
};

// A sink of the test's own: its queue and pool, the stream format the bridge uses.
struct OwnSink {
    SendQueue queue;
    FramePool pool;
    AudioFormat format = *AudioFormat::make(AudioCommonFormat::pcmFloat32, 48000.0, 2, false);
    FrameSink sink{queue, pool, format};

    std::vector<Bytes> drainAll() {
        queue.push(makeFrame(FrameType::report, {}), &pool);
        auto batch = queue.drain();
        batch.pop_back();
        return batch;
    }
};

// A long piece (after a stall) is split into frames of at most 1024 sample frames, in order,
// each a complete audio frame whose payload is the piece's bytes unchanged; a partial sample
// frame at the end is dropped; nothing is queued without a link.
TEST(MonitorPieces, BecomeAudioFramesOfAtMost1024SampleFramesWithTheBytesUnchanged) {
    std::vector<uint8_t> piece(2500 * 4 + 3);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 7 + i / 251);
    OwnSink own;
    ASSERT_LT(currentTunnel(), 0);
    queueAudio(own.sink, piece.data(), piece.size());
    {
        const PublishedLink link;
        queueAudio(own.sink, piece.data(), piece.size());
        queueAudio(own.sink, piece.data(), 3);  // less than one sample frame
    }

    const auto frames = own.drainAll();
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
    OwnSink own;
    own.pool.growBuffers(kPrefilledFrameBuffers, qw::wire::kHeaderSize + kMostPayload);
    constexpr uint32_t kPiece = 40;
    constexpr uint32_t kTotal = 2 * qw::wire::kSampleRate;  // 2 s of sound
    uint8_t piece[kPiece * 4];
    {
        const PublishedLink link;
        for (uint32_t n = 0; n < kTotal; n += kPiece) {
            for (uint32_t i = 0; i < kPiece; ++i) qw::putLe32(piece + 4 * i, n + i);  // its index
            gCountHeap = true;
            queueAudio(own.sink, piece, sizeof piece);
            gCountHeap = false;
        }
    }
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_EQ(gFrees.load(), 0);
    EXPECT_LE(own.queue.maxDepthSampleFrames.load(), int64_t{kSendQueueSampleLimit});
    EXPECT_GT(own.queue.maxDepthSampleFrames.load(), int64_t{kSendQueueSampleLimit - 1024});

    // What is queued: whole frames of at most 1024 sample frames, the stream's last sample
    // frames in order, up to the very last one.
    const auto frames = own.drainAll();
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

// The interval between monitor reads is the source's own figure, not the Core Audio capture's:
// the first read of each stream records none, the longest since the last take is taken and
// zeroed in one step.
TEST(MonitorPieces, TheGapBetweenReadsIsKeptApartFromTheDeviceCaptureAndTakenOnce) {
    MonitorReads reads;
    reads.recordRead(1'000'000'000);
    EXPECT_EQ(reads.takeMaxGapMs(), 0.0);
    reads.recordRead(1'005'500'000);
    reads.recordRead(1'007'000'000);
    EXPECT_EQ(cap.maxGapMs.load(), 0.0);
    EXPECT_DOUBLE_EQ(reads.takeMaxGapMs(), 5.5);
    EXPECT_EQ(reads.takeMaxGapMs(), 0.0);
    reads.restart();  // a new stream, 10 s later
    reads.recordRead(11'000'000'000);
    reads.recordRead(11'002'000'000);
    EXPECT_DOUBLE_EQ(reads.takeMaxGapMs(), 2.0);
}

}  // namespace
