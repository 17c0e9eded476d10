// The buffer's target through its policy's own interface, in output frames at 48 kHz: the
// pieces' need, the raises, the hold and the way down, the ceiling, and the lateness memory.

#include "target_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace {

using qw::receiver::FeedFigures;
using qw::receiver::TargetPolicy;

constexpr double kRate = 48000;

double targetMs(const TargetPolicy& p) {
    return p.targetFrames() / 48.0;
}

// `seconds` of output in pulls of 10 ms.
void play(TargetPolicy& p, double seconds) {
    for (long n = std::lround(seconds * 100); n > 0; --n) p.advance(480);
}

TEST(TargetPolicy, RaisesPerBurstHoldsComesDownToFloorOrJitterAndKeepsThePiecesNeed) {
    TargetPolicy fixed(5.0, false, kRate), automatic(5.0, true, kRate);
    FeedFigures feed;
    feed.arrivalFrames = 256;
    feed.latenessSeconds = 0.0005;
    for (TargetPolicy* p : {&fixed, &automatic}) {
        EXPECT_DOUBLE_EQ(targetMs(*p), 5.0);
        p->update(feed);
        p->noteRequest(48);
    }
    // Two underruns within half a second are one disturbance: one raise, from the target in force.
    for (TargetPolicy* p : {&fixed, &automatic}) {
        p->onUnderrun();
        p->advance(480);
        p->onUnderrun();
    }
    EXPECT_DOUBLE_EQ(targetMs(fixed), 5.0);
    EXPECT_DOUBLE_EQ(targetMs(automatic), 8.0);
    play(automatic, 0.5);
    automatic.onUnderrun();
    EXPECT_DOUBLE_EQ(targetMs(automatic), 11.0);
    // Held for 5 s after the last raise, then down at 1 ms a second as far as twice the
    // lateness on top of the pieces' need allows: (½·(48 + 256) + 48 + 2·0.0005·48000) / 48.
    play(automatic, 4.99);
    EXPECT_DOUBLE_EQ(targetMs(automatic), 11.0);
    play(automatic, 3.0);
    EXPECT_NEAR(targetMs(automatic), 8.0, 1e-9);
    play(automatic, 10);
    const double jitterFloorMs = (0.5 * (48 + 256) + 48 + 48) / 48.0;
    EXPECT_NEAR(targetMs(automatic), jitterFloorMs, 1e-9);
    // Without a lateness known it stays where it is; with none it comes to the configured floor.
    feed.latenessSeconds = -1;
    automatic.update(feed);
    automatic.onUnderrun();
    play(automatic, 20);
    EXPECT_NEAR(targetMs(automatic), jitterFloorMs + 3, 1e-9);
    feed.latenessSeconds = 0;
    automatic.update(feed);
    play(automatic, 20);
    EXPECT_DOUBLE_EQ(targetMs(automatic), 5.0);
    EXPECT_DOUBLE_EQ(automatic.ms(), 5.0);

    // A large request lifts the target in force above the configured one (fixed too); the
    // raise counts from there; the raises stop at the latency range's ceiling.
    for (TargetPolicy* p : {&fixed, &automatic}) p->noteRequest(4800);
    const double needMs = (0.5 * (4800 + 256) + 48) / 48.0;
    EXPECT_DOUBLE_EQ(targetMs(fixed), needMs);
    EXPECT_DOUBLE_EQ(targetMs(automatic), needMs);
    automatic.onUnderrun();
    EXPECT_NEAR(targetMs(automatic), needMs + 3, 1e-9);
    for (int i = 0; i < 40; ++i) {
        play(automatic, 0.5);
        automatic.onUnderrun();
    }
    EXPECT_DOUBLE_EQ(targetMs(automatic), QW_RECEIVER_LATENCY_MAX_MS);
}

TEST(TargetPolicy, LatenessMemoryForgetsALoneStallAndHoldsOneThatKeepsComing) {
    TargetPolicy p(5.0, true, kRate);
    EXPECT_LT(p.lateness(), 0);  // not known before the first arrival
    // One arrival a second, on time but for 12 ms late ones at the seconds given.
    const auto run = [&](int from, int to, std::initializer_list<int> late) {
        for (int s = from; s < to; ++s) {
            const bool isLate = std::find(late.begin(), late.end(), s) != late.end();
            p.onArrival(isLate ? 0.012 : 0.0, s + 0.5);
        }
    };
    run(0, 10, {});
    EXPECT_DOUBLE_EQ(p.lateness(), 0);
    run(10, 20, {10});
    EXPECT_DOUBLE_EQ(p.lateness(), 0.012);  // recent: the last 10 s
    run(20, 21, {});
    EXPECT_DOUBLE_EQ(p.lateness(), 0);  // alone: forgotten
    // Every 20 s (four 5 s stretches apart): held until it has been gone one and a half gaps.
    run(21, 71, {30, 50, 70});
    run(71, 100, {});
    EXPECT_DOUBLE_EQ(p.lateness(), 0.012);  // the newest 29 s old (stretch 5 of at most 6)
    run(100, 106, {});
    EXPECT_DOUBLE_EQ(p.lateness(), 0);  // 35 s old
    // Of the arrivals within one second, the one that came latest against the line counts.
    p.onArrival(0.004, 106.1);
    p.onArrival(0.002, 106.2);
    EXPECT_DOUBLE_EQ(p.lateness(), 0.004);
    p.resetLateness();
    EXPECT_LT(p.lateness(), 0);
}

}  // namespace
