// The device clock: the zero time stamp maths on exact inputs, then GetZeroTimeStamp on the
// running host clock, also at a timebase other than 1/1.
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
constexpr UInt32 kPeriod = 8192;
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
void expectLatestBoundary(const Stamp& s, UInt64 anchor, Float64 rate,
                          mach_timebase_info_data_t tb) {
    EXPECT_EQ(s.seed, 1u);
    ASSERT_GE(s.sampleTime, 0.0);
    const auto k = static_cast<UInt64>(s.sampleTime / kPeriod);
    EXPECT_EQ(static_cast<Float64>(k * kPeriod), s.sampleTime);
    EXPECT_EQ(s.hostTime, boundary(anchor, k, rate, tb));
    EXPECT_LE(s.hostTime, s.after);
    EXPECT_GT(boundary(anchor, k + 1, rate, tb) + 3, s.before);  // rounding slack
}

}  // namespace

TEST(ZeroTimeStampMaths, WorkedNumbers) {
    // One second after the anchor: five whole periods at 48000 Hz and at 44100 Hz.
    ZeroTimeStamp s = zeroTimeStampAt(kAnchor + 1'000'000'000, kAnchor, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 40960.0);
    EXPECT_EQ(s.hostTime, kAnchor + 853'333'333);
    s = zeroTimeStampAt(kAnchor + 1'000'000'000, kAnchor, 44100.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 40960.0);
    EXPECT_EQ(s.hostTime, kAnchor + 928'798'185);

    // Less than one period: the anchor itself.
    s = zeroTimeStampAt(kAnchor + 170'000'000, kAnchor, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 0.0);
    EXPECT_EQ(s.hostTime, kAnchor);

    // 125/3 ticks: five periods at 48000 Hz are 853,333,333 ns, 20,479,999 ticks (truncated).
    s = zeroTimeStampAt(kAnchor + 24'000'000, kAnchor, 48000.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.sampleTime, 40960.0);
    EXPECT_EQ(s.hostTime, kAnchor + 20'479'999);
    s = zeroTimeStampAt(kAnchor + 20'480'010, kAnchor, 48000.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.hostTime, kAnchor + 20'479'999);
    s = zeroTimeStampAt(kAnchor + 20'479'990, kAnchor, 48000.0, kPeriod, kTicks24MHz);
    EXPECT_EQ(s.sampleTime, 32768.0);

    // Before the first start the anchor is 0; a clock reading before the anchor counts as it.
    s = zeroTimeStampAt(1'000'000'000, 0, 48000.0, kPeriod, kNanos);
    EXPECT_EQ(s.sampleTime, 40960.0);
    EXPECT_EQ(s.hostTime, 853'333'333u);
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
    expectLatestBoundary(s, 0, 48000.0, kNanos);
}

TEST(DriverClock, RunsFromTheAnchorAtTimebase125Over3) {
    standinSetMachTimebase(125, 3);
    AudioServerPlugInDriverRef driver = createDriver();
    const auto& ops = table(driver);
    const Float64 rate = 192000.0;  // 42.7 ms periods
    ops.PerformDeviceConfigurationChange(driver, 2, 192000, nullptr);

    const UInt64 beforeStart = mach_absolute_time();
    ops.StartIO(driver, 2, 1);
    const UInt64 afterStart = mach_absolute_time();
    // Whatever the first stamp says, it fixes the anchor: hostTime minus its k periods.
    const Stamp first = zeroTimeStamp(driver);
    const auto k0 = static_cast<UInt64>(first.sampleTime / kPeriod);
    const UInt64 anchor = first.hostTime - (boundary(0, k0, rate, kTicks24MHz));
    EXPECT_GE(anchor, beforeStart);
    EXPECT_LE(anchor, afterStart);

    Stamp previous = first;
    int boundariesSeen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        const Stamp s = zeroTimeStamp(driver);
        expectLatestBoundary(s, anchor, rate, kTicks24MHz);
        ASSERT_GE(s.sampleTime, previous.sampleTime);
        ASSERT_GE(s.hostTime, previous.hostTime);
        if (s.sampleTime > previous.sampleTime) ++boundariesSeen;
        previous = s;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(boundariesSeen, 2);

    // A second start counts but does not move the anchor; a start from idle does.
    ops.StartIO(driver, 2, 2);
    expectLatestBoundary(zeroTimeStamp(driver), anchor, rate, kTicks24MHz);
    ops.StopIO(driver, 2, 1);
    ops.StopIO(driver, 2, 2);
    expectLatestBoundary(zeroTimeStamp(driver), anchor, rate, kTicks24MHz);
    const UInt64 beforeRestart = mach_absolute_time();
    ops.StartIO(driver, 2, 3);
    const Stamp restarted = zeroTimeStamp(driver);
    const auto k = static_cast<UInt64>(restarted.sampleTime / kPeriod);
    EXPECT_GE(restarted.hostTime - boundary(0, k, rate, kTicks24MHz), beforeRestart);
}
