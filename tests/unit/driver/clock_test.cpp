// The device clock: the zero time stamp maths on exact inputs, then GetZeroTimeStamp on the
// running host clock, also at a timebase other than 1/1, and a new timeline (seed) for every
// start from idle and every rate change.
#include <gtest/gtest.h>
#include <standin/mach_time_control.h>

#include <chrono>
#include <thread>

#include "driver_harness.h"
#include "zero_time_stamp.h"

using namespace driver_test;

namespace {

constexpr mach_timebase_info_data_t kNanos = {1, 1};
constexpr mach_timebase_info_data_t kTicks24MHz = {125, 3};
constexpr UInt32 kPeriod = 12000;
constexpr UInt64 kAnchor = 3'000'000'000;  // host ticks; a multiple of 3

struct Stamp {
    Float64 sampleTime = -1;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    UInt64 before = 0, after = 0;  // host clock read around the call
};

Stamp zeroTimeStamp(AudioServerPlugInDriverRef driver) {
    Stamp s;
    s.before = mach_absolute_time();
    EXPECT_EQ(table(driver).GetZeroTimeStamp(driver, 2, 1, &s.sampleTime, &s.hostTime, &s.seed), 0);
    s.after = mach_absolute_time();
    return s;
}

// The period boundary k periods after `anchor`, as the driver computes it.
UInt64 boundary(UInt64 anchor, UInt64 k, Float64 rate, mach_timebase_info_data_t tb) {
    const auto nanos = static_cast<UInt64>(static_cast<Float64>(k) * (kPeriod / rate) * 1e9);
    return anchor + nanos * tb.denom / tb.numer;
}

// A stamp is a whole number of periods after `anchor`, at the latest boundary not after the
// clock reading inside the call.
void expectLatestBoundary(const Stamp& s, UInt64 anchor, Float64 rate, mach_timebase_info_data_t tb,
                          UInt64 seed) {
    EXPECT_EQ(s.seed, seed);
    ASSERT_GE(s.sampleTime, 0.0);
    const auto k = static_cast<UInt64>(s.sampleTime / kPeriod);
    EXPECT_EQ(static_cast<Float64>(k * kPeriod), s.sampleTime);
    EXPECT_EQ(s.hostTime, boundary(anchor, k, rate, tb));
    EXPECT_LE(s.hostTime, s.after);
    EXPECT_GT(boundary(anchor, k + 1, rate, tb) + 3, s.before);  // rounding slack
}

}  // namespace

TEST(ZeroTimeStampMaths, WorkedNumbers) {
    // One second after the anchor: four whole periods at 48000 Hz, three at 44100 Hz.
    ZeroTimeStamp s = zeroTimeStampAt(kAnchor + 1'000'000'000, kAnchor, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 48000.0);
    EXPECT_EQ(s.hostTime, kAnchor + 1'000'000'000);
    s = zeroTimeStampAt(kAnchor + 1'000'000'000, kAnchor, 44100.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 36000.0);
    EXPECT_EQ(s.hostTime, kAnchor + 816'326'530);

    // Less than one period: the anchor itself.
    s = zeroTimeStampAt(kAnchor + 249'000'000, kAnchor, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 0.0);
    EXPECT_EQ(s.hostTime, kAnchor);

    // 125/3 ticks: three periods at 44100 Hz are 816,326,530 ns, 19,591,836 ticks (truncated).
    s = zeroTimeStampAt(kAnchor + 24'000'000, kAnchor, 44100.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.sampleTime, 36000.0);
    EXPECT_EQ(s.hostTime, kAnchor + 19'591'836);
    s = zeroTimeStampAt(kAnchor + 19'591'846, kAnchor, 44100.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.hostTime, kAnchor + 19'591'836);
    s = zeroTimeStampAt(kAnchor + 19'591'826, kAnchor, 44100.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.sampleTime, 24000.0);

    // Before the first start the anchor is 0; a clock reading before the anchor counts as it.
    s = zeroTimeStampAt(1'000'000'000, 0, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 48000.0);
    EXPECT_EQ(s.hostTime, 1'000'000'000u);
    s = zeroTimeStampAt(kAnchor - 1, kAnchor, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 0.0);
    EXPECT_EQ(s.hostTime, kAnchor);
}

TEST(ZeroTimeStampMaths, MonotonicAndNeverAfterNow) {
    for (Float64 rate : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0}) {
        for (mach_timebase_info_data_t tb : {kNanos, kTicks24MHz}) {
            ZeroTimeStamp previous = zeroTimeStampAt(kAnchor, kAnchor, rate, kPeriod, tb);
            for (UInt64 now = kAnchor; now < kAnchor + 600'000'000; now += 999'983) {
                const ZeroTimeStamp s = zeroTimeStampAt(now, kAnchor, rate, kPeriod, tb);
                ASSERT_GE(s.sampleTime, previous.sampleTime);
                ASSERT_GE(s.hostTime, previous.hostTime);
                ASSERT_LE(s.hostTime, now);
                ASSERT_EQ(s.hostTime > previous.hostTime, s.sampleTime > previous.sampleTime);
                previous = s;
            }
        }
    }
}

TEST(DriverClock, ValueBeforeTheFirstStartCountsFromHostTimeZero) {
    AudioServerPlugInDriverRef driver = createDriver();
    const Stamp s = zeroTimeStamp(driver);
    expectLatestBoundary(s, 0, 48000.0, kNanos, 1);
}

// The anchor a stamp implies: its host time less its whole periods.
UInt64 anchorOf(const Stamp& s, Float64 rate, mach_timebase_info_data_t tb) {
    return s.hostTime - boundary(0, static_cast<UInt64>(s.sampleTime / kPeriod), rate, tb);
}

// Follows the running clock for a while: every stamp is the latest boundary of one timeline.
void followClock(AudioServerPlugInDriverRef driver, UInt64 anchor, Float64 rate,
                 mach_timebase_info_data_t tb, UInt64 seed, int milliseconds) {
    Stamp previous = zeroTimeStamp(driver);
    int boundariesSeen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        const Stamp s = zeroTimeStamp(driver);
        expectLatestBoundary(s, anchor, rate, tb, seed);
        ASSERT_GE(s.sampleTime, previous.sampleTime);
        ASSERT_GE(s.hostTime, previous.hostTime);
        if (s.sampleTime > previous.sampleTime) ++boundariesSeen;
        previous = s;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(boundariesSeen, 2);
}

TEST(DriverClock, EveryStartFromIdleAndEveryRateChangeBeginsATimeline) {
    standinSetMachTimebase(125, 3);
    AudioServerPlugInDriverRef driver = createDriver();
    const auto& ops = table(driver);
    // A rate change before any start already begins a timeline at the change.
    UInt64 before = mach_absolute_time();
    ops.PerformDeviceConfigurationChange(driver, 2, 192000, nullptr);  // 62.5 ms periods
    Stamp s = zeroTimeStamp(driver);
    EXPECT_EQ(s.seed, 2u);
    EXPECT_GE(anchorOf(s, 192000.0, kTicks24MHz), before);
    ops.PerformDeviceConfigurationChange(driver, 2, 192000, nullptr);  // the same rate: no change
    EXPECT_EQ(zeroTimeStamp(driver).seed, 2u);

    before = mach_absolute_time();
    ops.StartIO(driver, 2, 1);
    const UInt64 afterStart = mach_absolute_time();
    const UInt64 anchor = anchorOf(zeroTimeStamp(driver), 192000.0, kTicks24MHz);
    EXPECT_GE(anchor, before);
    EXPECT_LE(anchor, afterStart);
    followClock(driver, anchor, 192000.0, kTicks24MHz, 3, 300);

    // A second start counts but does not move the anchor, nor does stopping.
    ops.StartIO(driver, 2, 2);
    expectLatestBoundary(zeroTimeStamp(driver), anchor, 192000.0, kTicks24MHz, 3);
    ops.StopIO(driver, 2, 2);
    expectLatestBoundary(zeroTimeStamp(driver), anchor, 192000.0, kTicks24MHz, 3);

    // A rate change while IO runs: a new seed, sample time 0 at the change, the new period.
    before = mach_absolute_time();
    ops.PerformDeviceConfigurationChange(driver, 2, 44100, nullptr);
    s = zeroTimeStamp(driver);
    EXPECT_EQ(s.seed, 4u);
    EXPECT_EQ(s.sampleTime, 0.0);
    const UInt64 changed = anchorOf(s, 44100.0, kTicks24MHz);
    EXPECT_GE(changed, before);
    followClock(driver, changed, 44100.0, kTicks24MHz, 4, 800);

    // Idle, then a start from idle: a new timeline again.
    ops.StopIO(driver, 2, 1);
    expectLatestBoundary(zeroTimeStamp(driver), changed, 44100.0, kTicks24MHz, 4);
    before = mach_absolute_time();
    ops.StartIO(driver, 2, 3);
    s = zeroTimeStamp(driver);
    EXPECT_EQ(s.seed, 5u);
    EXPECT_GE(anchorOf(s, 44100.0, kTicks24MHz), before);
}
