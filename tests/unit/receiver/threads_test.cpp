// The receiver core with its two sides on two threads, as a real output uses it: one thread
// feeds the connection's bytes (and now and then starts a new connection), the other pulls.
// Checked for data races by the ThreadSanitizer run, and for sense here; and the handover of the
// feed's figures between the two, alone.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "common/little_endian.h"
#include "latest_value.h"
#include "quillwave_receiver.h"

TEST(ReceiverThreads, FeedingAndPullingOnTwoThreadsStayConsistent) {
    const qw_receiver_config config = qw_receiver_config_init(48000);
    qw_receiver* receiver = qw_receiver_create(&config, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> pulls{0};
    std::thread puller([&] {
        std::vector<float> block(2 * 256);
        while (!stop.load()) {
            qw_receiver_pull_float(receiver, block.data(), 256);
            for (float v : block) ASSERT_TRUE(std::isfinite(v) && std::abs(v) <= 1.01f);
            qw_receiver_figures f{};
            qw_receiver_get_figures(receiver, &f);
            pulls.fetch_add(1);
            std::this_thread::yield();
        }
    });
    std::vector<uint8_t> frame(5 + 256 * 4);
    qw::putLe32(frame.data(), 256 * 4 + 1);
    frame[4] = 1;
    for (size_t i = 5; i < frame.size(); i += 2) frame[i + 1] = static_cast<uint8_t>(i % 64);
    uint64_t sent = 0;
    for (int connection = 0; connection < 5; ++connection) {
        qw_receiver_new_connection(receiver);
        for (int n = 0; n < 400; ++n) {
            ASSERT_EQ(qw_receiver_feed(receiver, frame.data(), 7), 0);
            ASSERT_EQ(qw_receiver_feed(receiver, frame.data() + 7, frame.size() - 7), 0);
            sent += 256;
            if (n % 8 == 0) std::this_thread::yield();
        }
    }
    // On a busy machine the feeding can be over before the puller has run at all.
    for (int waited = 0; pulls.load() < 20 && waited < 10000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    puller.join();
    qw_receiver_figures f{};
    qw_receiver_get_figures(receiver, &f);
    EXPECT_EQ(f.connections, 5u);
    EXPECT_EQ(f.frames_in, sent);
    EXPECT_GT(f.frames_out, 0u);
    char text[200];
    EXPECT_GT(qw_receiver_report_text(receiver, text, sizeof text), 0u);
    qw_receiver_destroy(receiver);
}

// The feed's snapshot handed to the pull side: whole values only, newer and newer, the last one
// always arriving, with the writer never waiting.
TEST(LatestValue, HandsOverWholeValuesNewestFirstAcrossThreads) {
    struct Value {
        uint64_t n;
        uint64_t twice;
        double half;
    };
    qw::receiver::LatestValue<Value> latest;
    constexpr uint64_t kLast = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t n = 1; n <= kLast; ++n) latest.publish({n, 2 * n, 0.5 * n});
        done = true;
    });
    Value v{0, 0, 0};
    uint64_t previous = 0, takes = 0;
    bool finished = false;
    while (!finished) {
        finished = done.load();  // after this, one more take finds the last value
        if (!latest.take(v)) {
            std::this_thread::yield();
            continue;
        }
        ++takes;
        ASSERT_GT(v.n, previous);
        ASSERT_EQ(v.twice, 2 * v.n);
        ASSERT_EQ(v.half, 0.5 * v.n);
        previous = v.n;
    }
    writer.join();
    EXPECT_EQ(v.n, kLast);
    EXPECT_FALSE(latest.take(v));  // nothing new since
    EXPECT_GE(takes, 1u);
}
