// The receiver pipeline's analysis: qwreceiver's report lines, the dropouts over one run, and
// matching clicks whose numbers the resampler scaled.
#include "receiver_figures.h"

#include <gtest/gtest.h>

namespace {

TEST(ReceiverFigures, ReadsTheReportLinesAndTheGrowthOverARun) {
    const std::vector<std::string> lines = {
        "playing to pulseaudio, target 5.0 ms (automatic), real-time priority",
        "figures: buffer 5.2/5 ms \u00b7 drift +12 ppm \u00b7 underruns 1 \u00b7 overruns 0 "
        "\u00b7 connections 1 \u00b7 replaced 0 \u00b7 bad payloads 0 \u00b7 frames in 48000 out "
        "47000 \u00b7 pulse latency 10.4 ms \u00b7 pulse underflows 3",
        "figures: buffer 6.8/7 ms \u00b7 drift -40 ppm \u00b7 underruns 3 \u00b7 overruns 1 "
        "\u00b7 connections 1 \u00b7 pulse latency 9.6 ms \u00b7 pulse underflows 4",
        "figures: buffer 7.4/7.5 ms \u00b7 drift -41 ppm \u00b7 underruns 3 \u00b7 overruns 1 "
        "\u00b7 connections 1 \u00b7 pulse latency 11 ms \u00b7 pulse underflows 4",
        "figures: buffer garbled",
        "figures: buffer 2.0/3 ms \u00b7 drift +0 ppm \u00b7 underruns 0 \u00b7 overruns 0",
    };
    const auto figures = parseReceiverFigures(lines);
    ASSERT_EQ(figures.size(), 4u);  // the start line and the garbled one are left out
    EXPECT_DOUBLE_EQ(figures[0].bufferMs, 5.2);
    EXPECT_DOUBLE_EQ(figures[0].targetMs, 5);
    EXPECT_EQ(figures[0].underruns, 1);
    EXPECT_DOUBLE_EQ(figures[0].pulseLatencyMs, 10.4);
    EXPECT_EQ(figures[0].pulseUnderflows, 3);
    EXPECT_DOUBLE_EQ(figures[2].targetMs, 7.5);
    EXPECT_EQ(figures[3].pulseUnderflows, -1);  // the null output has no PulseAudio figures

    const ReceiverRunFigures run = receiverRunFigures(figures[0], {figures[1], figures[2]});
    EXPECT_TRUE(run.known);
    EXPECT_EQ(run.underruns, 2);
    EXPECT_EQ(run.overruns, 1);
    EXPECT_EQ(run.pulseUnderflows, 1);
    EXPECT_DOUBLE_EQ(run.targetMs, 7.5);
    EXPECT_DOUBLE_EQ(run.bufferMs, 6.8);  // the lower median of two
    EXPECT_DOUBLE_EQ(run.pulseLatencyMs, 9.6);
    EXPECT_EQ(receiverRunFigures(figures[3], {figures[3]}).pulseUnderflows, -1);
    EXPECT_FALSE(receiverRunFigures(figures[0], {}).known);
}

TEST(ReceiverFigures, ResampledClicksMatchWithinOneIntervalAndALostOneShiftsNothing) {
    // 60 ms apart, the road's fixed part 5 ms; click 101 is lost, so neither the onset 60 ms
    // later (102's) nor one 2 ms after it (too soon: an earlier click's, late) is taken for it.
    // Codes are the numbers scaled by the resampler's gain (0.6 to 1.05); numbers wrap at 16384.
    const std::vector<PlayedClick> clicks = {{100, 0, 0},
                                             {101, 60'000'000, 60'000'000},
                                             {102, 120'000'000, 120'000'000},
                                             {103, 180'000'000, 180'000'000},
                                             {16388, 240'000'000, 240'000'000}};
    const std::vector<ArrivedOnset> onsets = {{-5'000'000, 100},   // before the clicks
                                              {20'000'000, 64},    // 100 at gain 0.64
                                              {62'000'000, 70},    // too soon for 101
                                              {140'000'000, 105},  // 102 at gain 1.03
                                              {181'000'000, 200},  // too large for 103
                                              {185'000'000, 62},   // 103
                                              {262'000'000, 3}};   // 16388 -> 4
    const ClickLatencies m = matchResampledClicks(clicks, onsets, 60, 5.0);
    ASSERT_EQ(m.fromMixedMs.size(), 4u);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[0], 20.0);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[1], 20.0);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[2], 5.0);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[3], 22.0);
    EXPECT_EQ(m.unmatched, 1u);
    ASSERT_EQ(m.lostNumbers.size(), 1u);
    EXPECT_EQ(m.lostNumbers[0], 101u);
    EXPECT_EQ(m.strayOnsets, 2u);  // the one too soon for 101 and the one too large for 103
}

}  // namespace
