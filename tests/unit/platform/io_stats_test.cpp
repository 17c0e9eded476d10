#include "io_stats.h"

#include <gtest/gtest.h>

using namespace audioserver;

namespace {

TEST(DurationHistogramTest, PercentilesAreBucketEdgesAndTheMaximumIsExact) {
    DurationHistogram h;
    EXPECT_EQ(h.percentile(0.5), 0u);
    for (uint64_t us = 1; us <= 100; ++us) h.record(us * 1000 - 1);  // 0.999 .. 99.999 us
    EXPECT_EQ(h.count(), 100u);
    EXPECT_EQ(h.percentile(0.50), 50000u);
    EXPECT_EQ(h.percentile(0.99), 99000u);
    EXPECT_EQ(h.max(), 99999u);
    h.record(7500000);  // 7.5 ms: coarse range
    EXPECT_EQ(h.percentile(1.0), 7500000u);
    h.record(1000000000);  // 1 s: overflow bucket, still the exact maximum
    EXPECT_EQ(h.max(), 1000000000u);
    EXPECT_EQ(h.percentile(1.0), 1000000000u);
    h.reset();
    EXPECT_EQ(h.count(), 0u);
    EXPECT_EQ(h.max(), 0u);
}

}  // namespace
