// The checks the end-to-end tests rely on (tools/probe): they must see lost, repeated and
// foreign frames, a wrong frequency and a poor SNR, or those tests would pass on broken audio.

#include <gtest/gtest.h>

#include <cmath>

#include "received_audio.h"

namespace {

using qwprobe::Pcm16;

// The bridge's mapping for in-range samples: scaled by 32767, truncated toward zero.
int16_t to16(double v) {
    return static_cast<int16_t>(static_cast<float>(v) * 32767.0f);
}

// Ramp frames n in [from, to) as the bridge sends them.
void appendRamp(Pcm16& pcm, uint64_t from, uint64_t to) {
    for (uint64_t n = from; n < to; ++n) {
        pcm.left.push_back(to16((int64_t(n & 0xFFFF) - 32768) / 32768.0));
        pcm.right.push_back(to16((int64_t(n >> 16 & 0xFFFF) - 32768) / 32768.0));
    }
}

void appendSilence(Pcm16& pcm, size_t frames) {
    pcm.left.insert(pcm.left.end(), frames, 0);
    pcm.right.insert(pcm.right.end(), frames, 0);
}

TEST(RampCheck, CompleteRampWithSilenceAroundIt) {
    Pcm16 pcm{48000, {}, {}};
    appendSilence(pcm, 1000);
    appendRamp(pcm, 0, 200000);  // crosses 65536 and 131072: the high part changes
    appendSilence(pcm, 500);
    pcm.left.push_back(16383);  // a click after the end: not a ramp frame
    pcm.right.push_back(5);
    appendSilence(pcm, 500);
    const auto c = qwprobe::checkRamp(pcm);
    EXPECT_EQ(c.sampleFramesReceived, 202001u);
    EXPECT_EQ(c.first, 0u);
    EXPECT_EQ(c.last, 199999u);
    EXPECT_EQ(c.rampFrames, 200000u);
    EXPECT_EQ(c.lost + c.repeated + c.foreign + c.breaks, 0u);
}

TEST(RampCheck, SeesLostRepeatedAndForeignFrames) {
    Pcm16 pcm{48000, {}, {}};
    appendRamp(pcm, 0, 1000);
    appendRamp(pcm, 1100, 2000);  // 100 lost
    appendRamp(pcm, 1950, 3000);  // 50 again
    appendSilence(pcm, 7);        // 7 foreign frames inside the ramp
    appendRamp(pcm, 3000, 4000);
    const auto c = qwprobe::checkRamp(pcm);
    EXPECT_EQ(c.lost, 100u);
    EXPECT_EQ(c.repeated, 50u);
    EXPECT_EQ(c.foreign, 7u);
    EXPECT_EQ(c.breaks, 2u);
    EXPECT_EQ(c.last, 3999u);
}

TEST(RampCheck, OneLsbIsToleratedAndMoreBreaksTheSequence) {
    Pcm16 pcm{48000, {}, {}};
    appendRamp(pcm, 0, 30000);
    // Frame 22768 is -10000/32768 on the left: -9999.695 scaled, which the bridge truncates to
    // -9999; rounding would give -10000, still within 1 LSB.
    ASSERT_EQ(pcm.left[22768], -9999);
    pcm.left[22768] = -10000;
    auto c = qwprobe::checkRamp(pcm);
    EXPECT_EQ(c.rampFrames, 30000u);
    EXPECT_EQ(c.inexact, 1u);
    EXPECT_EQ(c.breaks, 0u);

    pcm.left[600] = static_cast<int16_t>(pcm.left[600] + 3);  // a damaged sample
    c = qwprobe::checkRamp(pcm);
    EXPECT_GT(c.breaks + c.foreign, 0u);
    EXPECT_LT(c.rampFrames, 30000u);
}

TEST(SineCheck, MeasuresFrequencyAmplitudeAndSnr) {
    Pcm16 pcm{48000, {}, {}};
    appendSilence(pcm, 4800);
    for (int i = 0; i < 48000 * 2; ++i) {
        const auto s =
            static_cast<int16_t>(std::lround(0.9 * 32767 * std::sin(2 * M_PI * 997.0 * i / 48000)));
        pcm.left.push_back(s);
        pcm.right.push_back(s);
    }
    appendSilence(pcm, 4800);
    auto c = qwprobe::checkSine(pcm, 997.0, 0.1);
    ASSERT_TRUE(c);
    EXPECT_NEAR(c->measuredFrequency, 997.0, 0.01);
    EXPECT_NEAR(c->amplitude, 0.9, 0.001);
    EXPECT_GT(c->snrDb, 90.0);
    EXPECT_LT(qwprobe::checkSine(pcm, 1000.0, 0.1)->snrDb, 20.0);  // the wrong frequency
    for (size_t i = 10000; i < 10100; ++i) pcm.left[i] = 0;        // a dropout
    EXPECT_LT(qwprobe::checkSine(pcm, 997.0, 0.1)->snrDb, 50.0);
}

TEST(ClickLatency, MatchesOnsetsToClicksByNumber) {
    const std::vector<qwprobe::Click> clicks{
        {0, 1'000'000'000}, {1, 1'050'000'000}, {16384, 1'100'000'000}};
    const std::vector<qwprobe::Onset> onsets{{900'000'000, 3},      // before the clicks: ignored
                                             {1'011'000'000, 0},    // 11 ms
                                             {1'062'000'000, 1},    // 12 ms
                                             {1'110'000'000, 0},    // click 16384 wraps to 0
                                             {1'200'000'000, 77}};  // no such click
    const auto s = qwprobe::clickLatency(clicks, onsets);
    EXPECT_EQ(s.matched, 3u);
    EXPECT_EQ(s.unmatched, 1u);
    EXPECT_DOUBLE_EQ(s.minMs, 10.0);
    EXPECT_DOUBLE_EQ(s.medianMs, 11.0);
    EXPECT_DOUBLE_EQ(s.maxMs, 12.0);
    EXPECT_EQ(qwprobe::parseClicks("click 5 output 1200 mixed 42 rendered 7\nother\n").size(), 1u);
    EXPECT_EQ(qwprobe::parseOnsets("phone-app: onset 99 code -3\n")[0].code, -3);
}

}  // namespace
