#include "bridge/send_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A frame carrying its sequence number, so order and drops are visible.
Bytes numbered(uint32_t n) {
    return makeFrame(FrameType::audio, {uint8_t(n), uint8_t(n >> 8)});
}

uint32_t numberOf(const Bytes& frame) {
    return uint32_t{frame.at(5)} | uint32_t{frame.at(6)} << 8;
}

TEST(SendQueue, KeepsTheNewest256InOrder) {
    SendQueue q;
    for (uint32_t n = 1; n <= 300; ++n) q.push(numbered(n));
    EXPECT_EQ(q.maxDepth.load(), 256);
    auto batch = q.drain();
    ASSERT_EQ(batch.size(), 256u);
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(numberOf(batch[i]), 45 + i);

    // The queue works the same after a drain.
    q.push(numbered(1000));
    batch = q.drain();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(numberOf(batch[0]), 1000u);
}

TEST(SendQueue, MaxDepthIsTheDeepestQueueSinceLastZeroed) {
    SendQueue q;
    EXPECT_EQ(q.maxDepth.load(), 0);
    q.push(numbered(1));
    EXPECT_EQ(q.maxDepth.load(), 1);
    q.push(numbered(2));
    q.push(numbered(3));
    EXPECT_EQ(q.maxDepth.load(), 3);
    EXPECT_EQ(q.drain().size(), 3u);
    q.push(numbered(4));
    EXPECT_EQ(q.maxDepth.load(), 3);  // a shallower queue does not lower it
    q.maxDepth.store(0, std::memory_order_relaxed);
    q.push(numbered(5));
    EXPECT_EQ(q.maxDepth.load(), 2);  // the depth after this push, not 1
}

TEST(SendQueue, DrainWaitsForAPushAndReturnsWhatWasPushed) {
    SendQueue q;
    std::atomic<bool> returned{false};
    std::vector<Bytes> batch;
    std::thread consumer([&] {
        batch = q.drain();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());  // nothing queued: still waiting
    q.push(numbered(7));
    consumer.join();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(numberOf(batch[0]), 7u);

    // Drained empty: a second drain waits again.
    returned = false;
    std::thread second([&] {
        batch = q.drain();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    q.push(numbered(8));
    q.push(numbered(9));
    second.join();
    ASSERT_FALSE(batch.empty());
    EXPECT_EQ(numberOf(batch[0]), 8u);
}

TEST(SendQueue, ProducerAndConsumerThreadsKeepOrder) {
    // The consumer may fall behind and lose frames, but what it gets is in push order, every
    // batch holds 1..256 frames, and the last frame always arrives.
    constexpr uint32_t kCount = 20000;
    SendQueue q;
    std::thread producer([&] {
        for (uint32_t n = 1; n <= kCount; ++n) {
            q.push(makeFrame(FrameType::audio, {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)}));
            if (n % 64 == 0) std::this_thread::yield();
        }
    });
    uint32_t last = 0;
    uint64_t received = 0;
    bool ordered = true;
    bool batchesBounded = true;
    while (last != kCount) {
        auto batch = q.drain();
        batchesBounded = batchesBounded && !batch.empty() && batch.size() <= kSendQueueLimit;
        for (const auto& frame : batch) {
            const uint32_t n = numberOf(frame) | uint32_t{frame.at(7)} << 16;
            ordered = ordered && n > last;
            last = n;
            ++received;
        }
        q.maxDepth.store(0, std::memory_order_relaxed);  // as the statistics reporter does
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(batchesBounded);
    EXPECT_GE(received, 256u);
    EXPECT_LE(q.maxDepth.load(), 256);
}

// Frames of 1000 sample frames: 72 of them are 1.5 s, the bound in time, well before 256. The
// oldest go first, into the pushing side's pool. Appending joins only an audio frame with room.
TEST(SendQueue, HoldsAtMostASecondAndAHalfOfSound) {
    SendQueue q;
    FramePool spare;
    for (uint32_t n = 1; n <= 100; ++n) {
        Bytes frame = makeFrame(FrameType::audio, Bytes(4000, 0));
        frame[5] = uint8_t(n);
        q.push(std::move(frame), &spare);
    }
    EXPECT_EQ(q.maxDepth.load(), 72);
    EXPECT_EQ(q.maxDepthSampleFrames.load(), 72000);
    for (int k = 0; k < 28; ++k) EXPECT_GE(spare.take().capacity(), 4005u);  // the dropped ones
    EXPECT_EQ(spare.take().capacity(), 0u);
    auto batch = q.drain();
    ASSERT_EQ(batch.size(), 72u);
    for (uint32_t i = 0; i < 72; ++i) EXPECT_EQ(batch[i][5], 29 + i);

    const uint8_t samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes roomy = makeFrame(FrameType::audio, {9, 9, 9, 9});
    roomy.reserve(5 + 4096);
    q.push(std::move(roomy), &spare);
    EXPECT_TRUE(q.appendAudio(samples, 8, 4096, &spare));
    EXPECT_FALSE(q.appendAudio(samples, 3, 4096, &spare));  // not whole sample frames
    EXPECT_FALSE(q.appendAudio(samples, 8, 12, &spare));    // beyond the payload limit
    q.push(makeFrame(FrameType::report, {}), &spare);
    EXPECT_FALSE(q.appendAudio(samples, 8, 4096, &spare));  // the newest is no audio frame
    batch = q.drain();
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0], makeFrame(FrameType::audio, {9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
