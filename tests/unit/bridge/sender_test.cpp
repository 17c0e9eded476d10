#include "bridge/sender.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "bridge/link_state.h"
#include "bridge/send_queue.h"
#include "fd_count.h"
#include "socket_pair.h"

namespace {

// What the scripted send functions saw; the sender calls them on its own thread only.
struct SendLog {
    std::vector<int> fds;
    std::vector<size_t> sizes;
    int calls = 0;
};
SendLog gLog;

Bytes frameOf(size_t payloadSize, uint8_t fill) {
    return makeFrame(FrameType::audio, Bytes(payloadSize, fill));
}

// Reads what is available on `fd` without waiting.
Bytes drainAvailable(int fd) {
    Bytes out;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) return out;
        out.insert(out.end(), buffer, buffer + n);
    }
}

class SenderTest : public testing::Test {
  protected:
    void SetUp() override {
        gLog = {};
        maxWriteMs = 0.0;
        ASSERT_EQ(currentTunnel(), -1);
    }
    void TearDown() override {
        // Whatever link a test left published (possibly a newer one than its own) goes.
        LinkUse current = takeLink();
        if (current.fd >= 0) {
            ::close(current.fd);
            retireLink(current.generation);
        }
    }
    // Publishes the pair's end `a` as the link; the test keeps `b` as the phone's end.
    void publish() {
        generation = publishLink(pair.a);
        pair.a = -1;
    }
    SocketPair pair;
    uint64_t generation = 0;
    std::atomic<double> maxWriteMs{0.0};
};

size_t bytesIn(const iovec* parts, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].iov_len;
    return total;
}

ssize_t countingSend(int fd, const iovec* parts, int count) {
    ++gLog.calls;
    gLog.fds.push_back(fd);
    gLog.sizes.push_back(bytesIn(parts, count));
    return sendPartsWithoutSignal(fd, parts, count);
}

// Sends at most `limit` bytes of `parts`.
ssize_t sendAtMost(int fd, const iovec* parts, int count, size_t limit) {
    iovec cut[kSendQueueLimit];
    int n = 0;
    for (; n < count && limit > 0; ++n) {
        cut[n] = parts[n];
        cut[n].iov_len = std::min(cut[n].iov_len, limit);
        limit -= cut[n].iov_len;
    }
    return sendPartsWithoutSignal(fd, cut, n);
}

TEST_F(SenderTest, WithoutALinkTheBatchIsDroppedUnwritten) {
    maxWriteMs = 7.5;
    BatchOutcome outcome = Sender(maxWriteMs, countingSend).send({frameOf(8, 1), frameOf(8, 2)});
    EXPECT_FALSE(outcome.hadLink);
    EXPECT_EQ(outcome.framesWritten, 0u);
    EXPECT_EQ(gLog.calls, 0);
    EXPECT_EQ(maxWriteMs.load(), 7.5);
}

ssize_t shortFirstSend(int fd, const iovec* parts, int count) {
    ++gLog.calls;
    gLog.fds.push_back(fd);
    gLog.sizes.push_back(bytesIn(parts, count));
    return sendAtMost(fd, parts, count, gLog.calls == 1 ? 1500 : SIZE_MAX);
}

TEST_F(SenderTest, ABatchGoesOutInOneWriteAndAShortWriteIsContinuedWithTheRest) {
    publish();
    std::vector<Bytes> batch;
    Bytes expected;
    for (int k = 0; k < 3; ++k) {
        Bytes frame = frameOf(1024, 0);
        for (size_t i = 5; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + k);
        expected.insert(expected.end(), frame.begin(), frame.end());
        batch.push_back(std::move(frame));
    }
    Sender sender(maxWriteMs, shortFirstSend);
    BatchOutcome outcome = sender.send(batch);
    EXPECT_EQ(outcome.framesWritten, 3u);
    EXPECT_FALSE(outcome.linkFailed);
    // The whole batch in one call; the second continues in the middle of the second frame.
    EXPECT_EQ(gLog.sizes, (std::vector<size_t>{3 * 1029, 3 * 1029 - 1500}));
    EXPECT_EQ(drainAvailable(pair.b), expected);
    EXPECT_GE(maxWriteMs.load(), 0.0);
    EXPECT_GE(currentTunnel(), 0);

    // The sender keeps one descriptor of its own for the link, batch after batch.
    const int before = openDescriptorCount();
    for (int k = 0; k < 5; ++k) EXPECT_EQ(sender.send({batch[0]}).framesWritten, 1u);
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(std::set<int>(gLog.fds.begin(), gLog.fds.end()).size(), 1u);
    EXPECT_EQ(drainAvailable(pair.b).size(), 5 * 1029u);
}

ssize_t interruptedOnceSend(int fd, const iovec* parts, int count) {
    if (++gLog.calls == 1) {
        errno = EINTR;
        return -1;
    }
    return sendPartsWithoutSignal(fd, parts, count);
}

TEST_F(SenderTest, AnInterruptedWriteIsRetried) {
    publish();
    const Bytes frame = frameOf(16, 9);
    EXPECT_EQ(Sender(maxWriteMs, interruptedOnceSend).send({frame}).framesWritten, 1u);
    EXPECT_EQ(drainAvailable(pair.b), frame);
    EXPECT_GE(currentTunnel(), 0);
}

ssize_t zeroSend(int, const iovec*, int) {
    ++gLog.calls;
    return 0;
}

TEST_F(SenderTest, AWriteOfZeroRetiresTheLink) {
    publish();
    BatchOutcome outcome = Sender(maxWriteMs, zeroSend).send({frameOf(8, 1), frameOf(8, 2)});
    EXPECT_TRUE(outcome.linkFailed);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(currentTunnel(), -1);
    char c;
    EXPECT_EQ(::read(pair.b, &c, 1), 0);  // the phone's end sees the link go
}

// Takes the first frame and a little of the second, then fails.
ssize_t failSecondFrameSend(int fd, const iovec* parts, int count) {
    ++gLog.calls;
    gLog.sizes.push_back(bytesIn(parts, count));
    if (gLog.calls == 2) {
        errno = ECONNRESET;
        return -1;
    }
    return sendAtMost(fd, parts, count, 45 + 10);
}

TEST_F(SenderTest, AFailureDropsTheRestOfTheBatch) {
    publish();
    const Bytes first = frameOf(40, 1);
    const Bytes second = frameOf(40, 2);
    BatchOutcome outcome =
        Sender(maxWriteMs, failSecondFrameSend).send({first, second, frameOf(40, 3)});
    EXPECT_EQ(outcome.framesWritten, 1u);
    EXPECT_TRUE(outcome.linkFailed);
    EXPECT_EQ(gLog.calls, 2);  // the third frame is never written
    EXPECT_EQ(currentTunnel(), -1);
    Bytes expected = first;  // and the start of the second, on the link that then failed
    expected.insert(expected.end(), second.begin(), second.begin() + 10);
    EXPECT_EQ(drainAvailable(pair.b), expected);
}

TEST_F(SenderTest, APeerThatHasGoneGivesAFailedWriteNotSigpipe) {
    ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);  // SIGPIPE would end this process
    publish();
    pair.closeB();
    BatchOutcome outcome = Sender(maxWriteMs).send({frameOf(64, 1)});
    EXPECT_TRUE(outcome.linkFailed);
    EXPECT_EQ(currentTunnel(), -1);
}

ssize_t slowSecondPartSend(int fd, const iovec* parts, int count) {
    if (++gLog.calls == 2) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return sendAtMost(fd, parts, count, 13);
}

TEST_F(SenderTest, TheLongestBatchWriteIsRecorded) {
    publish();
    Sender sender(maxWriteMs, slowSecondPartSend);
    EXPECT_EQ(sender.send({frameOf(8, 1), frameOf(8, 2), frameOf(8, 3)}).framesWritten, 3u);
    EXPECT_GE(maxWriteMs.load(), 25.0);
    maxWriteMs = 5000.0;  // a larger figure not yet reported stays
    sender.send({frameOf(8, 4)});
    EXPECT_EQ(maxWriteMs.load(), 5000.0);
}

// Descriptor reuse: while the sender is in the middle of a frame on the old link, the supervisor
// retires that link and publishes a new one under the very same descriptor number. The rest of
// the old frame must not reach the new connection, and the sender's late retire must not close it.
struct ReuseScenario {
    int number = -1;
    uint64_t oldGeneration = 0;
    int newPhoneEnd = -1;
};
ReuseScenario gReuse;

ssize_t reuseDuringFrameSend(int fd, const iovec* parts, int count) {
    gLog.fds.push_back(fd);
    if (++gLog.calls == 1) {
        ssize_t n = sendAtMost(fd, parts, count, 500);
        // Meanwhile on the link thread: loss, retire, reconnect onto the same number.
        EXPECT_TRUE(retireLink(gReuse.oldGeneration));
        SocketPair next;
        if (next.a != gReuse.number) {  // usually the lowest free number is the old one anyway
            EXPECT_EQ(::dup2(next.a, gReuse.number), gReuse.number);
            next.closeA();
        }
        next.a = -1;
        publishLink(gReuse.number);
        gReuse.newPhoneEnd = next.b;
        next.b = -1;
        return n;
    }
    return sendPartsWithoutSignal(fd, parts, count);
}

TEST_F(SenderTest, NoByteOfAnOldFrameReachesANewLinkOnTheSameNumber) {
    gReuse = {};
    gReuse.number = pair.a;
    publish();
    gReuse.oldGeneration = generation;
    const Bytes frame = frameOf(1024, 0x55);
    Sender sender(maxWriteMs, reuseDuringFrameSend);
    BatchOutcome outcome = sender.send({frame, frame});
    EXPECT_TRUE(outcome.linkFailed);
    EXPECT_EQ(outcome.framesWritten, 0u);
    for (int fd : gLog.fds) EXPECT_NE(fd, gReuse.number);  // never the shared number

    // The new link is untouched: still published, open, and nothing arrived on it.
    ASSERT_GE(gReuse.newPhoneEnd, 0);
    EXPECT_EQ(currentTunnel(), gReuse.number);
    EXPECT_TRUE(::fcntl(gReuse.number, F_GETFD) != -1);
    EXPECT_TRUE(drainAvailable(gReuse.newPhoneEnd).empty());
    // The old phone end got the first 500 bytes, then the end of the stream.
    EXPECT_EQ(drainAvailable(pair.b).size(), 500u);

    // The next batch goes to the new link, starting with a whole frame.
    EXPECT_EQ(sender.send({frame}).framesWritten, 1u);
    for (int fd : gLog.fds) EXPECT_NE(fd, gReuse.number);
    EXPECT_EQ(drainAvailable(gReuse.newPhoneEnd), frame);
    ::close(gReuse.newPhoneEnd);
}

// In-use heap bytes (not meaningful under sanitizers, which keep their own heap).
size_t heapInUse() {
    return mallinfo2().uordblks;
}

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

TEST_F(SenderTest, ASlowReaderStallsWritesWhileTheQueueStaysBounded) {
    // Small socket buffers, so the stall reaches the sender quickly.
    int small = 16 * 1024;
    ::setsockopt(pair.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(pair.b, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    publish();

    SendQueue queue;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        Sender writer(maxWriteMs);
        while (!stop) writer.send(queue.drain());
    });
    // The phone reads nothing until the stall has been seen from here, however slowly this
    // machine runs: a fixed pause could end before the queue had filled.
    std::atomic<bool> stallOver{false};
    std::atomic<int64_t> received{0};
    std::thread phone([&] {
        while (!stallOver) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        uint8_t buffer[65536];
        for (;;) {
            ssize_t n = ::read(pair.b, buffer, sizeof buffer);
            if (n <= 0) return;
            received += n;
        }
    });

    const size_t heapBefore = heapInUse();
    size_t heapPeak = heapBefore;
    // 4 KiB frames of 1024 sample frames each: the queue's bound in time (1.5 s) holds 70 of
    // them, fewer than its bound in frames.
    const Bytes frame = frameOf(4096, 1);
    const int64_t fullDepth = kSendQueueSampleLimit / 1024;
    int64_t highestDepth = 0;
    int pushed = 0;
    // Pushes until far more than the queue holds have gone in and the queue has stayed full for
    // at least 600 ms, which is then how long the sender's write is blocked.
    const auto start = std::chrono::steady_clock::now();
    const auto giveUp = start + std::chrono::seconds(30);
    auto fullSince = giveUp;
    for (auto now = start; now < giveUp; now = std::chrono::steady_clock::now()) {
        if (pushed > 2000 && now - fullSince >= std::chrono::milliseconds(600)) break;
        queue.push(frame);
        ++pushed;
        highestDepth = std::max(highestDepth, queue.maxDepth.load());
        if (highestDepth == fullDepth && fullSince == giveUp) fullSince = now;
        heapPeak = std::max(heapPeak, heapInUse());
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stallOver = true;

    EXPECT_GT(pushed, 2000);             // far more than the queue holds
    EXPECT_EQ(highestDepth, fullDepth);  // full during the stall, and never beyond
    EXPECT_EQ(queue.maxDepthSampleFrames.load(), fullDepth * 1024);
    if (!kSanitized) {
        // A full queue plus the batch in flight: a few MiB at most, however long the stall.
        EXPECT_LT(heapPeak - heapBefore, size_t{4} << 20);
    }

    stop = true;
    queue.push(frame);  // wakes the sender for its last batch
    sender.join();
    // Read once the sender has gone: the blocked write is recorded only when it completes.
    EXPECT_GE(maxWriteMs.load(), 300.0) << "the stall shows in the write time";
    retireLink(generation);
    generation = 0;
    phone.join();
    EXPECT_GT(received.load(), 0);
}

}  // namespace
