// The server's side of an IO session: the shared memory cannot be resized by the client,
// input records carry what the cycle delivered, and output mixing trusts nothing the client
// wrote.
#include "session.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace audioserver;
using namespace qwipc;

namespace {

TEST(SessionTest, SharedMemoryIsSealedAgainstResizing) {
    auto s = Session::create(kSessionInput | kSessionOutput, 2, 4, 7, 123);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->bytes(), sessionBytes(2, 4));
    EXPECT_NE(ftruncate(s->memFd(), 4096), 0);
    EXPECT_NE(ftruncate(s->memFd(), static_cast<off_t>(s->bytes() * 2)), 0);
    EXPECT_EQ(s->shared()->magic, kSessionMagic);
    EXPECT_EQ(s->inputChannels(), 2u);
    EXPECT_EQ(s->outputChannels(), 4u);
    EXPECT_EQ(s->clientID(), 7u);
}

TEST(SessionTest, RefusesMoreChannelsThanTheRingCarries) {
    EXPECT_FALSE(Session::create(kSessionInput, kMaxChannels + 1, 2, 1, 0));
    // A direction the session does not have takes no room.
    auto s = Session::create(kSessionOutput, 8, 2, 1, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->inputChannels(), 0u);
    EXPECT_EQ(s->bytes(), sessionBytes(0, 2));
}

TEST(SessionTest, InputRecordsAndFramesWrapAroundTheRing) {
    auto s = Session::create(kSessionInput, 2, 0, 1, 0);
    std::vector<float> block(2 * 1000);
    uint64_t pos = 0;
    for (uint64_t cycle = 0; cycle < 70; ++cycle) {  // 70000 frames: past the end of the ring
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(pos * 2 + i);
        s->deliverInput(block.data(), 1000, 1000.0 * cycle, 5 + cycle, 9 + cycle, cycle,
                        cycle == 0);
        pos += 1000;
    }
    const SessionShared& sh = *s->shared();
    EXPECT_EQ(sh.cyclesPublished.load(), 70u);
    EXPECT_EQ(sh.inputWritePos.load(), 70000u);
    const CycleRecord& last = sh.cycles[69];
    EXPECT_EQ(last.ringPos.load(), 69000u);
    EXPECT_EQ(bitsDouble(last.sampleTime.load()), 69000.0);
    EXPECT_EQ(last.hostTime.load(), 74u);
    EXPECT_EQ(last.readDoneHostTime.load(), 78u);
    EXPECT_EQ(last.flags.load(), 0u);
    EXPECT_EQ(sh.cycles[0].flags.load(), kCycleFirstAfterStart);
    std::vector<float> back(2 * 1000);
    ringRead(inputRing(s->shared()), kRingFrames, 2, 69000, back.data(), 1000);
    for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], static_cast<float>(69000 * 2 + i));
}

TEST(SessionTest, OutputIsTakenOnlyOncePrimedAndOnlyWhatWasWritten) {
    auto s = Session::create(kSessionOutput, 0, 2, 1, 0);
    SessionShared& sh = *s->shared();
    std::vector<float> mix(2 * 256, 0.f);
    EXPECT_EQ(s->mixOutput(mix.data(), 256, 100.0, 1), 0u);  // not primed: not started either
    EXPECT_EQ(sh.firstKnown.load(), 0u);

    std::vector<float> frames(2 * 100, 0.5f);
    ringWrite(outputRing(s->shared()), kRingFrames, 2, 0, frames.data(), 100);
    sh.writePos.store(100);
    sh.primed.store(1);
    EXPECT_EQ(s->mixOutput(mix.data(), 256, 512.0, 2), 156u);
    EXPECT_EQ(mix[0], 0.5f);
    EXPECT_EQ(mix[199], 0.5f);
    EXPECT_EQ(mix[200], 0.f);
    EXPECT_EQ(sh.readPos.load(), 100u);
    EXPECT_EQ(sh.underrunFrames.load(), 156u);
    EXPECT_EQ(bitsDouble(sh.firstSampleTime.load()), 512.0);
    EXPECT_EQ(sh.clockReadPos.load(), 0u);
    EXPECT_EQ(sh.clockSeq.load() % 2, 0u);
}

TEST(SessionTest, AWritePositionTheClientCouldNotHaveWrittenCountsAsNothing) {
    auto s = Session::create(kSessionOutput, 0, 2, 1, 0);
    SessionShared& sh = *s->shared();
    sh.primed.store(1);
    std::vector<float> mix(2 * 256, 0.f);
    sh.writePos.store(uint64_t{1} << 40);  // far beyond the ring
    EXPECT_EQ(s->mixOutput(mix.data(), 256, 0.0, 0), 256u);
    EXPECT_EQ(sh.readPos.load(), 0u);
    sh.readPos.store(50);
    sh.writePos.store(10);  // behind the read position
    EXPECT_EQ(s->mixOutput(mix.data(), 256, 0.0, 0), 256u);
    EXPECT_EQ(sh.readPos.load(), 50u);
}

TEST(SessionTest, SignalNeverBlocksEvenWhenTheClientNeverReads) {
    auto s = Session::create(kSessionInput, 2, 0, 1, 0);
    for (int i = 0; i < 100000; ++i) s->signal();
    uint64_t count = 0;
    ASSERT_EQ(read(s->eventFd(), &count, sizeof count), static_cast<ssize_t>(sizeof count));
    EXPECT_EQ(count, 100000u);
}

}  // namespace
