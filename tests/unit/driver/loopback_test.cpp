// The loopback ring: what WriteMix stores comes back from ReadInput at the same sample times,
// across the ring's end, for negative, fractional and absurd start times, and only there: the
// same ring frame one or more laps away reads as silence. Nothing else touches the buffer or the
// ring.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver_harness.h"

using namespace driver_test;

namespace {

constexpr UInt32 kRing = 384000;
constexpr UInt32 kRead = kAudioServerPlugInIOOperationReadInput;
constexpr UInt32 kWrite = kAudioServerPlugInIOOperationWriteMix;

// The frame-by-frame rule: frame j lives at floor(start + j), the sum taken in Float64, modulo
// the ring (into [0, kRing) also below zero).
size_t ringFrame(Float64 position) {
    Float64 m = std::fmod(std::floor(position), Float64{kRing});
    if (m < 0) m += kRing;
    return static_cast<size_t>(m);
}

// What the ring should hold: each frame's samples and the whole sample time they were written at.
struct RingModel {
    std::vector<Float32> samples = std::vector<Float32>(2 * size_t{kRing}, 0.0f);
    std::vector<Float64> writtenAt =
        std::vector<Float64>(kRing, std::numeric_limits<Float64>::quiet_NaN());

    void write(Float64 start, const std::vector<Float32>& block) {
        for (size_t j = 0; j < block.size() / 2; ++j) {
            const Float64 position = start + static_cast<Float64>(j);
            const size_t i = ringFrame(position);
            samples[2 * i] = block[2 * j];
            samples[2 * i + 1] = block[2 * j + 1];
            writtenAt[i] = std::floor(position);
        }
    }
    // Frame j of a read at `start`: what was written at that very sample time, else silence.
    std::pair<Float32, Float32> read(Float64 start, size_t j) const {
        const Float64 position = start + static_cast<Float64>(j);
        const size_t i = ringFrame(position);
        if (writtenAt[i] != std::floor(position)) return {0.0f, 0.0f};
        return {samples[2 * i], samples[2 * i + 1]};
    }
};

std::vector<Float32> block(UInt32 frames, Float32 base) {
    std::vector<Float32> samples(2 * size_t{frames});
    for (size_t j = 0; j < frames; ++j) {
        samples[2 * j] = base + static_cast<Float32>(j);
        samples[2 * j + 1] = -(base + static_cast<Float32>(j));
    }
    return samples;
}

std::vector<Float32> slice(const std::vector<Float32>& samples, size_t firstFrame, size_t frames) {
    return {samples.begin() + 2 * firstFrame, samples.begin() + 2 * (firstFrame + frames)};
}

bool allZero(const std::vector<Float32>& samples) {
    for (Float32 v : samples) {
        if (v != 0.0f) return false;
    }
    return true;
}

class Loopback : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = createDriver();
        ASSERT_NE(driver, nullptr);
        // Back to idle (when cases share a process), then a start from idle: a clear ring.
        while (readValue<UInt32>(driver, 2, address('goin')) != 0)
            table(driver).StopIO(driver, 2, 1);
        ASSERT_EQ(table(driver).StartIO(driver, 2, 1), 0);
    }
    AudioServerPlugInDriverRef driver = nullptr;
};

// Starts where the sums start + j cannot all be formed exactly, next to ones where they can.
const Float64 kStarts[] = {0,
                           1,
                           383990,
                           383999,
                           384000,
                           767999,
                           -1,
                           -8,
                           -384000,
                           -384001,
                           -1e6 - 0.25,
                           0.5,
                           -0.5,
                           383999.5,
                           123456.25,
                           5e-324,
                           -5e-324,
                           std::nextafter(1.0, 0.0),
                           std::nextafter(2048.0, 0.0),
                           std::nextafter(-3.0, -4.0),
                           std::nextafter(-3.0, 0.0),
                           4503599627370495.5 /* 2^52 - 1/2 */,
                           4503599627370496.0,
                           9007199254740992.0 /* 2^53 */,
                           9007199254740994.0,
                           1e20,
                           -1e20,
                           18446744073709551616.0 /* 2^64 */,
                           1e300,
                           -1e300,
                           std::numeric_limits<Float64>::max(),
                           -std::numeric_limits<Float64>::max()};

}  // namespace

TEST_F(Loopback, WriteAtTheRingEndWrapsAndReadsBack) {
    const auto written = block(32, 1.0f);
    writeFrames(driver, 383990, written);
    EXPECT_EQ(readFrames(driver, 383990, 32), written);
    EXPECT_EQ(readFrames(driver, 383990, 10), slice(written, 0, 10));
    EXPECT_EQ(readFrames(driver, 384000, 22), slice(written, 10, 22));
    EXPECT_TRUE(allZero(readFrames(driver, 384022, 1)));
    EXPECT_TRUE(allZero(readFrames(driver, 383989, 1)));
    // One ring later is the same place, but not the same sample time: no old sound comes back,
    // however often it is read.
    for (int lap : {1, 2, -1}) {
        EXPECT_TRUE(allZero(readFrames(driver, 383990 + lap * 384000.0, 32))) << lap;
    }
    EXPECT_EQ(readFrames(driver, 383990, 32), written);
    // A write one lap on takes the place over: the first lap's frames are gone.
    const auto next = block(32, 100.0f);
    writeFrames(driver, 383990 + 384000, next);
    EXPECT_EQ(readFrames(driver, 383990 + 384000, 32), next);
    EXPECT_TRUE(allZero(readFrames(driver, 383990, 32)));
}

TEST_F(Loopback, NegativeStartTimesWrapBelowZero) {
    const auto written = block(16, 500.0f);
    writeFrames(driver, -8, written);
    EXPECT_EQ(readFrames(driver, -8, 16), written);
    EXPECT_TRUE(allZero(readFrames(driver, 383992, 16)));
    EXPECT_TRUE(allZero(readFrames(driver, -384008, 16)));
    EXPECT_EQ(readFrames(driver, 0, 8), slice(written, 8, 8));

    // -0.5 lies in frame -1; frame 1 of that block (0.5) in frame 0.
    writeFrames(driver, -0.5, block(2, 7.0f));
    EXPECT_EQ(readFrames(driver, -1, 2), (std::vector<Float32>{7, -7, 8, -8}));
    // Frames -8 to -1 share their ring frames with 383992 to 383999: a write there replaces them.
    writeFrames(driver, 383992, block(8, 900.0f));
    EXPECT_TRUE(allZero(readFrames(driver, -8, 8)));
    EXPECT_EQ(readFrames(driver, 383992, 8), block(8, 900.0f));
}

TEST_F(Loopback, UnwrittenFramesReadZeroAfterAStartFromIdle) {
    EXPECT_TRUE(allZero(readFrames(driver, 0, kRing)));
    const auto written = block(2048, 3.0f);
    writeFrames(driver, 1000, written);
    EXPECT_TRUE(allZero(readFrames(driver, 50000, 512)));
    EXPECT_TRUE(allZero(readFrames(driver, 1000 + 2048, 512)));

    // A second start only counts; a stop changes nothing but the count.
    table(driver).StartIO(driver, 2, 2);
    EXPECT_EQ(readFrames(driver, 1000, 2048), written);
    table(driver).StopIO(driver, 2, 2);
    table(driver).StopIO(driver, 2, 1);
    EXPECT_EQ(readFrames(driver, 1000, 2048), written);

    // Starting again from idle clears the whole ring.
    table(driver).StartIO(driver, 2, 3);
    EXPECT_TRUE(allZero(readFrames(driver, 0, kRing)));
}

TEST_F(Loopback, OnlyReadAndWriteTouchTheBuffer) {
    const auto& ops = table(driver);
    for (UInt32 op : {kRead, kWrite}) {
        Boolean willDo = false, inPlace = false;
        EXPECT_EQ(ops.WillDoIOOperation(driver, 2, 1, op, &willDo, &inPlace), 0);
        EXPECT_TRUE(willDo);
        EXPECT_TRUE(inPlace);
    }
    writeFrames(driver, 0, block(64, 1.0f));
    const auto sentinel = block(64, 9000.0f);
    for (UInt32 op : {UInt32{'thrd'}, UInt32{'cycl'}, UInt32{'cinp'}, UInt32{'pinp'},
                      UInt32{'pout'}, UInt32{'mixo'}, UInt32{'pmix'}, UInt32{'cmix'}, UInt32{0}}) {
        Boolean willDo = true, inPlace = false;
        EXPECT_EQ(ops.WillDoIOOperation(driver, 2, 1, op, &willDo, &inPlace), 0);
        EXPECT_FALSE(willDo) << op;
        EXPECT_TRUE(inPlace) << op;
        auto buffer = sentinel;
        EXPECT_EQ(doIO(driver, op, 0, 64, buffer.data()), 0);
        EXPECT_EQ(buffer, sentinel) << op;
        const auto* noCycle = opaqueNull<const AudioServerPlugInIOCycleInfo>();
        EXPECT_EQ(ops.BeginIOOperation(driver, 2, 1, op, 64, noCycle), 0);
        EXPECT_EQ(ops.EndIOOperation(driver, 2, 1, op, 64, noCycle), 0);
    }
    EXPECT_EQ(
        ops.WillDoIOOperation(driver, 2, 1, kRead, opaqueNull<Boolean>(), opaqueNull<Boolean>()),
        0);
    EXPECT_EQ(readFrames(driver, 0, 64), block(64, 1.0f));

    // No cycle info or no buffer: nothing happens.
    auto buffer = sentinel;
    EXPECT_EQ(
        ops.DoIOOperation(driver, 2, 4, 1, kRead, 64,
                          opaqueNull<const AudioServerPlugInIOCycleInfo>(), buffer.data(), nullptr),
        0);
    EXPECT_EQ(buffer, sentinel);
    AudioServerPlugInIOCycleInfo cycle{};
    EXPECT_EQ(ops.DoIOOperation(driver, 2, 3, 1, kWrite, 64, &cycle, nullptr, nullptr), 0);
}

TEST_F(Loopback, DirectionFollowsTheOperationAndItsTimeStamp) {
    const auto& ops = table(driver);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mOutputTime.mSampleTime = 100;
    cycle.mInputTime.mSampleTime = 5000;
    auto samples = block(4, 11.0f);
    // The stream ID does not choose the direction: WriteMix through the input stream stores.
    EXPECT_EQ(ops.DoIOOperation(driver, 2, 4, 7, kWrite, 4, &cycle, samples.data(), nullptr), 0);
    EXPECT_EQ(readFrames(driver, 100, 4), block(4, 11.0f));
    EXPECT_TRUE(allZero(readFrames(driver, 5000, 4)));

    cycle.mInputTime.mSampleTime = 100;
    cycle.mOutputTime.mSampleTime = 5000;
    std::vector<Float32> in(8, -1.0f);
    EXPECT_EQ(ops.DoIOOperation(driver, 2, 3, 7, kRead, 4, &cycle, in.data(), nullptr), 0);
    EXPECT_EQ(in, block(4, 11.0f));

    // The frame count is the call's, not the buffer frame size property (512).
    const auto big = block(2048, 20.0f);
    writeFrames(driver, 10000, big);
    EXPECT_EQ(readFrames(driver, 10000, 2048), big);
}

void expectReadAsModelled(AudioServerPlugInDriverRef driver, const RingModel& model, Float64 start,
                          UInt32 frames) {
    const auto got = readFrames(driver, start, frames);
    for (size_t j = 0; j < frames; ++j) {
        const auto [left, right] = model.read(start, j);
        ASSERT_EQ(got[2 * j], left) << "start " << start << " frame " << j;
        ASSERT_EQ(got[2 * j + 1], right) << "start " << start << " frame " << j;
    }
}

// Reads at every kind of start time give what the frame-by-frame rule gives.
TEST_F(Loopback, ReadsFollowTheFrameByFrameRule) {
    std::vector<Float32> pattern(2 * size_t{kRing});
    for (size_t i = 0; i < kRing; ++i) {
        pattern[2 * i] = static_cast<Float32>(i) + 1.0f;
        pattern[2 * i + 1] = -static_cast<Float32>(i) - 0.5f;
    }
    RingModel model;
    writeFrames(driver, 0, pattern);
    model.write(0, pattern);
    for (Float64 start : kStarts) {
        for (UInt32 frames : {1u, 7u, 256u, 2048u, 400000u}) {
            expectReadAsModelled(driver, model, start, frames);
        }
    }
}

// Writes at every kind of start time leave the ring as the frame-by-frame rule would.
TEST_F(Loopback, WritesFollowTheFrameByFrameRule) {
    RingModel model;
    Float32 base = 1.0f;
    for (Float64 start : kStarts) {
        const UInt32 frames = start == 5e-324 ? 400000u : 300u;  // one block longer than the ring
        const auto samples = block(frames, base);
        base += 1000.0f;
        writeFrames(driver, start, samples);
        model.write(start, samples);
        expectReadAsModelled(driver, model, start, frames);
        expectReadAsModelled(driver, model, 0, kRing);
    }
}

TEST_F(Loopback, NoSampleTimeMeansSilenceAndNoStore) {
    writeFrames(driver, 0, block(kRing, 1.0f));
    const auto before = readFrames(driver, 0, kRing);
    for (Float64 start :
         {std::numeric_limits<Float64>::quiet_NaN(), std::numeric_limits<Float64>::infinity(),
          -std::numeric_limits<Float64>::infinity()}) {
        writeFrames(driver, start, block(64, 77.0f));
        EXPECT_TRUE(allZero(readFrames(driver, start, 64)));
    }
    EXPECT_EQ(readFrames(driver, 0, kRing), before);
}

// The controls' gain on what ReadInput hands out: a change ramps over one IO buffer from the
// first sample time no read has reached, every read of the same sample times gives the same
// samples, full volume is bit-exact, mute gives exact zeros, and a new timeline starts at the
// target without a ramp.
TEST_F(Loopback, GainFollowsTheTimelineAndRampsOverOneBuffer) {
    constexpr UInt32 n = 256;
    const std::vector<Float32> level(2 * 8 * n, 0.5f);
    writeFrames(driver, 0, level);
    auto set = [&](AudioObjectID control, AudioObjectPropertySelector sel, auto v) {
        ASSERT_EQ(setValue(driver, control, sel, &v, sizeof v), 0);
    };
    EXPECT_EQ(readFrames(driver, 0, n), slice(level, 0, n));  // full volume: bit-exact
    const Float32 half = 0.5f * std::pow(10.0f, -6.0206f / 20);
    set(6, 'lcdv', -6.0206f);
    EXPECT_EQ(readFrames(driver, 0, n), slice(level, 0, n));  // nothing fresh: no ramp yet
    const auto ramp = readFrames(driver, n, n);
    for (UInt32 j = 1; j < n; ++j) EXPECT_LT(ramp[2 * j], ramp[2 * j - 2]) << j;
    EXPECT_NEAR(ramp[0], 0.5f - (0.5f - half) / n, 1e-6);  // the first step of 255
    EXPECT_NEAR(ramp[2 * (n - 1)], half, 1e-6);
    EXPECT_EQ(readFrames(driver, n, n), ramp);  // another client, the same cycle
    set(7, 'bcvl', UInt32{1});
    EXPECT_EQ(readFrames(driver, n, n), ramp);
    const auto fading = readFrames(driver, 2 * n, n);
    EXPECT_GT(fading[2 * (n - 2)], 0.0f);
    EXPECT_EQ(fading[2 * (n - 1)], 0.0f);
    EXPECT_TRUE(allZero(readFrames(driver, 3 * n, n)));
    set(7, 'bcvl', UInt32{0});
    set(6, 'lcsv', 1.0f);
    const auto back = readFrames(driver, 4 * n + 10, n);  // a gap of 10 frames: ramp from there
    EXPECT_NEAR(back[0], 0.5f / n, 1e-6);
    EXPECT_EQ(back[2 * (n - 1)], 0.5f);
    EXPECT_EQ(readFrames(driver, 5 * n + 10, n), slice(level, 5 * n + 10, n));
    EXPECT_EQ(readFrames(driver, 4 * n + 10, n), back);

    // A new timeline: the ring is clear and the gain is at its target at once.
    set(6, 'lcsv', 0.5f);
    table(driver).StopIO(driver, 2, 1);
    table(driver).StartIO(driver, 2, 1);
    writeFrames(driver, 0, level);
    const auto quieter = readFrames(driver, 0, n);
    EXPECT_EQ(quieter, std::vector<Float32>(2 * n, 0.5f * std::pow(10.0f, -24.0f / 20)));
}
