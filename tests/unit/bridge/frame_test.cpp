#include "bridge/frame.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "socket_pair.h"

namespace {

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes lengthField(uint32_t length) {
    return bytesOf({static_cast<int>(length & 0xFF), static_cast<int>(length >> 8 & 0xFF),
                    static_cast<int>(length >> 16 & 0xFF), static_cast<int>(length >> 24)});
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(MakeFrame, ByteExactVectors) {
    EXPECT_EQ(makeFrame(FrameType::audio, {}), bytesOf({0x01, 0, 0, 0, 0x01}));
    EXPECT_EQ(makeFrame(FrameType::audio, bytesOf({0x01, 0x00, 0xFF, 0xFF})),
              bytesOf({0x05, 0, 0, 0, 0x01, 0x01, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(makeFrame(FrameType::report, bytesOf({'o', 'k'})),
              bytesOf({0x03, 0, 0, 0, 0x03, 'o', 'k'}));

    Bytes payload(1024);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const Bytes frame = makeFrame(FrameType::audio, payload);
    ASSERT_EQ(frame.size(), 1029u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), bytesOf({0x01, 0x04, 0, 0, 0x01}));
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), payload);
    EXPECT_EQ(payload.size(), 1024u);  // argument untouched

    // All four length bytes are used, least significant first.
    const Bytes big = makeFrame(FrameType::audio, Bytes(0x01020304 - 1));
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 5), bytesOf({0x04, 0x03, 0x02, 0x01, 0x01}));
}

TEST(ReadFrame, LengthLimits) {
    EXPECT_FALSE(isValidPhoneFrameLength(0));
    EXPECT_TRUE(isValidPhoneFrameLength(1));
    EXPECT_TRUE(isValidPhoneFrameLength(8191));
    EXPECT_FALSE(isValidPhoneFrameLength(8192));
    EXPECT_FALSE(isValidPhoneFrameLength(0xFFFFFFFF));

    {  // length 1: type byte only, empty payload
        SocketPair s;
        writeAllTo(s.b, bytesOf({1, 0, 0, 0, 3}));
        auto f = readFrame(s.a);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->type, 3);
        EXPECT_TRUE(f->payload.empty());
    }
    {  // length 8191 is the largest accepted
        SocketPair s;
        Bytes payload(8190, 'x');
        payload.back() = 'y';
        writeAllTo(s.b, makeFrame(FrameType::report, payload));
        auto f = readFrame(s.a);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->payload, payload);
    }
    for (uint32_t bad : {0u, 8192u, 0x80000000u, 0xFFFFFFFFu}) {
        SocketPair s;
        // A valid frame follows the bad length; it must not be reached.
        writeAllTo(s.b, concat({lengthField(bad), makeFrame(FrameType::report, {'o', 'k'})}));
        LinkDown why;
        EXPECT_FALSE(readFrame(s.a, &why)) << "length " << bad;
        EXPECT_EQ(why, (LinkDown{LinkDownReason::framingError, bad})) << "length " << bad;
    }
}

TEST(ReadFrame, EndOfStreamAnywhereEndsTheLink) {
    const Bytes frame = makeFrame(FrameType::report, bytesOf({'a', 'b', 'c'}));
    for (size_t cut = 0; cut < frame.size(); ++cut) {
        SocketPair s;
        writeAllTo(s.b, Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
        s.closeB();
        LinkDown why;
        EXPECT_FALSE(readFrame(s.a, &why)) << "cut at " << cut;
        EXPECT_EQ(why, LinkDown{LinkDownReason::peerClosed}) << "cut at " << cut;
    }
    LinkDown why;  // a read error is told as the phone's end of the link
    EXPECT_FALSE(readFrame(-1, &why));
    EXPECT_EQ(why, LinkDown{LinkDownReason::peerClosed});
}

TEST(ReadFrame, SeveralFramesInOneWriteAreSeparatedByLength) {
    SocketPair s;
    writeAllTo(s.b, concat({makeFrame(FrameType::report, {'o', 'k'}),
                            makeFrame(static_cast<FrameType>(200), {9, 9, 9}),
                            makeFrame(FrameType::audio, {}), makeFrame(FrameType::report, {'z'})}));
    s.closeB();
    // A frame read leaves `why` as it was; only the end of the stream sets it.
    LinkDown why{LinkDownReason::writeFailed};
    auto a = readFrame(s.a, &why);
    auto b = readFrame(s.a, &why);
    auto c = readFrame(s.a, &why);
    auto d = readFrame(s.a, &why);
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(why, LinkDown{LinkDownReason::writeFailed});
    EXPECT_EQ(a->type, 3);
    EXPECT_EQ(a->payload, bytesOf({'o', 'k'}));
    EXPECT_EQ(b->type, 200);
    EXPECT_EQ(b->payload, bytesOf({9, 9, 9}));
    EXPECT_EQ(c->type, 1);
    EXPECT_TRUE(c->payload.empty());
    EXPECT_EQ(d->payload, bytesOf({'z'}));
    EXPECT_FALSE(readFrame(s.a, &why));
    EXPECT_EQ(why, LinkDown{LinkDownReason::peerClosed});
}

TEST(ReadFrame, FramesDribbledAcrossManyReads) {
    std::vector<Bytes> payloads;
    Bytes stream;
    for (int i = 0; i < 12; ++i) {
        Bytes p(static_cast<size_t>(i * 13), static_cast<uint8_t>(i));
        payloads.push_back(p);
        auto f = makeFrame(i % 2 ? FrameType::report : FrameType::audio, p);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    SocketPair s;
    std::thread writer = dribble(s.b, stream, false);
    for (int i = 0; i < 12; ++i) {
        auto f = readFrame(s.a);
        ASSERT_TRUE(f) << "frame " << i;
        EXPECT_EQ(f->type, i % 2 ? 3 : 1);
        EXPECT_EQ(f->payload, payloads[static_cast<size_t>(i)]);
    }
    writer.join();
}

std::atomic<int> gSignals{0};
void countSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

TEST(ReadFrame, InterruptedReadsAreRetried) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    SocketPair s;
    std::atomic<bool> done{false};
    std::optional<Frame> result;
    std::thread reader([&] {
        result = readFrame(s.a);
        done = true;
    });
    const pthread_t handle = reader.native_handle();
    writeAllTo(s.b, bytesOf({3, 0}));  // part of the length, so the reader blocks mid-frame
    for (int i = 0; i < 5 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(handle, SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeAllTo(s.b, bytesOf({0, 0, 3, 'o', 'k'}));
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(gSignals.load(), 0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->payload, bytesOf({'o', 'k'}));
}

}  // namespace
