#include "bridge/statistics.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(Statistics, LineHasTheExactShapeWithOneDecimalRoundedLikePrintf) {
    EXPECT_EQ(statisticsLine(5.3333, 0.04, 1), "\u23F1 maxGap=5.3ms maxWrite=0.0ms qDepth=1");
    EXPECT_EQ(statisticsLine(0, 0, 0), "\u23F1 maxGap=0.0ms maxWrite=0.0ms qDepth=0");
    EXPECT_EQ(statisticsLine(12.25, 0.25, 256), "\u23F1 maxGap=12.2ms maxWrite=0.2ms qDepth=256");
    EXPECT_EQ(statisticsLine(0.05, 0.15, 2), "\u23F1 maxGap=0.1ms maxWrite=0.1ms qDepth=2");
    EXPECT_EQ(statisticsLine(12.35, 0.75, 3), "\u23F1 maxGap=12.3ms maxWrite=0.8ms qDepth=3");
    EXPECT_EQ(statisticsLine(1234567.96, 38.04, 9),
              "\u23F1 maxGap=1234568.0ms maxWrite=38.0ms qDepth=9");
    // Same as printf("%.1f") over a sweep of values, including exact and inexact halves.
    for (int i = 0; i < 20000; ++i) {
        const double v = i * 0.005;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.1f", v);
        EXPECT_EQ(statisticsLine(v, 0, 0),
                  std::string("\u23F1 maxGap=") + expected + "ms maxWrite=0.0ms qDepth=0")
            << v;
    }
}

TEST(Statistics, DecimalPointDoesNotFollowTheLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    bool switched = false;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "C.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            switched = true;
            break;
        }
    }
    EXPECT_EQ(statisticsLine(5.25, 1.5, 4), "\u23F1 maxGap=5.2ms maxWrite=1.5ms qDepth=4");
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!switched) GTEST_SKIP() << "no other locale installed";
}

// A source whose gap figure is taken as the statistics line takes it.
class GapOnly final : public CaptureSource {
  public:
    bool find() override { return true; }
    bool start(FrameSink&) override { return true; }
    void stop() override {}
    void run() override {}
    double takeMaxGapMs() override { return gap.exchange(0.0); }
    std::atomic<double> gap{0.0};
};

TEST(Statistics, TakingTheLineZeroesAllThreeFigures) {
    GapOnly source;
    std::atomic<double> maxWriteMs{0.04};
    SendQueue queue;
    source.gap = 5.3333;
    queue.maxDepth = 1;
    EXPECT_EQ(takeStatisticsLine(source, maxWriteMs, queue),
              "\u23F1 maxGap=5.3ms maxWrite=0.0ms qDepth=1");
    EXPECT_EQ(source.gap.load(), 0.0);
    EXPECT_EQ(maxWriteMs.load(), 0.0);
    EXPECT_EQ(queue.maxDepth.load(), 0);
    EXPECT_EQ(takeStatisticsLine(source, maxWriteMs, queue),
              "\u23F1 maxGap=0.0ms maxWrite=0.0ms qDepth=0");
}

}  // namespace
