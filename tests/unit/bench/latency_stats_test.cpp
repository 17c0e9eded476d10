// Matching numbered clicks with the onsets the receiving app saw, and the percentiles.
#include "latency_stats.h"

#include <gtest/gtest.h>

namespace {

TEST(LatencyStats, ParsesThePlayersAndTheAppsLines) {
    const auto clicks =
        parseClicks({"click 3 output 768 mixed 2000000 rendered 1000000",
                     "qwprobe: 1 clicks played", "click 4 output 0 mixed 0 rendered 0"});
    ASSERT_EQ(clicks.size(), 1u);  // a click whose time is unknown is left out
    EXPECT_EQ(clicks[0].number, 3u);
    EXPECT_EQ(clicks[0].mixedNs, 2000000);
    EXPECT_EQ(clicks[0].renderedNs, 1000000);
    const auto onsets = parseOnsets({"listening on 127.0.0.1:7000", "onset 5000000 code 3"});
    ASSERT_EQ(onsets.size(), 1u);
    EXPECT_EQ(onsets[0].arrivedNs, 5000000);
    EXPECT_EQ(onsets[0].code, 3);
}

TEST(LatencyStats, ALostClickDoesNotShiftTheOthers) {
    // Click 1 is lost. An onset from before a click (an earlier run) is not its arrival, and
    // numbers wrap at 16384.
    const std::vector<PlayedClick> clicks = {{1, 10'000'000, 9'000'000},
                                             {2, 20'000'000, 19'000'000},
                                             {3, 30'000'000, 29'000'000},
                                             {16386, 40'000'000, 39'000'000}};
    const std::vector<ArrivedOnset> onsets = {
        {5'000'000, 2}, {23'000'000, 2}, {34'000'000, 3}, {42'500'000, 2}, {2'000'000'000, 3}};
    const ClickLatencies m = matchClicks(clicks, onsets);
    EXPECT_EQ(m.unmatched, 1u);
    ASSERT_EQ(m.fromMixedMs.size(), 3u);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[0], 3.0);
    EXPECT_DOUBLE_EQ(m.fromRenderedMs[0], 4.0);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[1], 4.0);
    EXPECT_DOUBLE_EQ(m.fromMixedMs[2], 2.5);
    EXPECT_EQ(m.strayOnsets, 1u);  // the late one; the one before the clicks is not counted
}

TEST(LatencyStats, NearestRankPercentiles) {
    std::vector<double> ms;
    for (int i = 100; i >= 1; --i) ms.push_back(i);
    const LatencySummary s = summarize(ms);
    EXPECT_EQ(s.count, 100u);
    EXPECT_EQ(s.minMs, 1);
    EXPECT_EQ(s.medianMs, 50);
    EXPECT_EQ(s.p95Ms, 95);
    EXPECT_EQ(s.p99Ms, 99);
    EXPECT_EQ(s.maxMs, 100);
    EXPECT_EQ(summarize({}).count, 0u);
}

}  // namespace
