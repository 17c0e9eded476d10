#include "bridge/fd_io.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "socket_pair.h"

namespace {

TEST(ReadN, CountsOfZeroAndBelow) {
    // A count of 0 is an empty result without a read: even a bad descriptor gives it.
    auto empty = readN(-1, 0);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    SocketPair s;
    writeAllTo(s.b, {1, 2, 3});
    EXPECT_FALSE(readN(s.a, -1));
    EXPECT_EQ(readN(s.a, 3), (Bytes{1, 2, 3}));  // nothing was consumed by the calls above
    EXPECT_FALSE(readN(-1, 1));
}

TEST(ReadN, CollectsShortReadsAndDropsPartialDataAtEndOfStream) {
    SocketPair s;
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    std::thread writer = dribble(s.b, data, false);
    auto got = readN(s.a, static_cast<int64_t>(data.size()));
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, data);

    writeAllTo(s.b, {7, 7});
    s.closeB();
    EXPECT_FALSE(readN(s.a, 3));
}

std::atomic<int> gSignals{0};
void countSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

TEST(SendAll, InterruptedWritesAreRetriedAndEverythingArrives) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    SocketPair s;
    Bytes data(4 * 1024 * 1024);  // far beyond the socket buffer, so send blocks
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
    std::atomic<bool> sent{false};
    bool ok = false;
    std::thread sender([&] {
        ok = sendAll(s.a, data);
        sent = true;
    });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(sender.native_handle(), SIGUSR1);
    }
    auto received = readN(s.b, static_cast<int64_t>(data.size()));
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(gSignals.load(), 0);
    EXPECT_TRUE(ok);
    ASSERT_TRUE(received);
    EXPECT_TRUE(*received == data);
}

TEST(SendAll, PeerGoneIsAFailedWriteNotSigpipe) {
    signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would kill the test binary
    SocketPair s;
    s.closeB();
    EXPECT_FALSE(sendAll(s.a, Bytes(100, 1)));
    EXPECT_FALSE(sendAll(-1, Bytes(1, 1)));
    EXPECT_TRUE(sendAll(s.a, {}));  // nothing to write is not a failure
}

}  // namespace
