#include "bridge/frame_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(FramePool, GivesBackBuffersWithTheirCapacityAndFreesWhatDoesNotFit) {
    FramePool pool(3);
    EXPECT_TRUE(pool.take().empty());  // nothing yet: an empty buffer, no allocation
    EXPECT_EQ(pool.take().capacity(), 0u);
    for (int i = 0; i < 5; ++i) {  // only 3 fit
        Bytes frame;
        frame.reserve(1200);
        pool.recycle(std::move(frame));
    }
    EXPECT_EQ(pool.available(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_GE(pool.take().capacity(), 1200u);
    EXPECT_EQ(pool.available(), 0u);

    Bytes frame(2000, 7);
    const uint8_t* memory = frame.data();
    pool.recycle(std::move(frame));
    Bytes again = pool.take();
    EXPECT_EQ(again.data(), memory);  // the very same memory comes back
    EXPECT_EQ(pool.available(), 0u);
}

TEST(FramePool, OneProducerAndOneConsumerPassEveryBufferOnceInOrder) {
    FramePool pool(8);
    constexpr uint32_t kCount = 20000;
    std::thread producer([&] {
        for (uint32_t n = 1; n <= kCount; ++n) {
            Bytes b{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)};
            while (pool.available() == 8) std::this_thread::yield();
            pool.recycle(std::move(b));
        }
    });
    uint32_t expected = 1;
    while (expected <= kCount) {
        Bytes b = pool.take();
        if (b.empty()) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(b.size(), 3u);
        ASSERT_EQ(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16, expected);
        ++expected;
    }
    producer.join();
}

}  // namespace
