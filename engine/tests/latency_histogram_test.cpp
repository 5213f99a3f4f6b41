#include <velmora/engine/latency_histogram.h>

#include <gtest/gtest.h>

namespace {

TEST(LatencyHistogram, BucketsHaveInclusiveUpperBounds) {
    const std::pair<std::uint32_t, std::size_t> rows[] = {
        {0, 0},    {250, 0},   {251, 1},   {500, 1},   {1000, 2},   {1001, 3},   {2000, 3},
        {5000, 4}, {10000, 5}, {20000, 6}, {50000, 7}, {100000, 8}, {100001, 9}, {4294967295u, 9}};
    for (const auto& [value, bucket] : rows) {
        EXPECT_EQ(LatencyHistogram::bucket_of(value), bucket) << value;
    }
}

TEST(LatencyHistogram, PercentilesRoundTheRankUp) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(50, 123), 0u) << "no samples";
    // 3 samples: rank for p50 is (99 + 150) / 100 = 2, for p95 and p99 3.
    for (const std::uint32_t us : {100u, 700u, 150000u}) {
        h.add(us);
    }
    EXPECT_EQ(h.percentile(50, 150000), 1000u);
    EXPECT_EQ(h.percentile(95, 150000), 150000u) << "the open bucket answers with the maximum seen";
    EXPECT_EQ(h.percentile(1, 150000), 250u);
    // 100 samples of 400 us and one of 9000 us: p99 is rank 100, still in the 500 bucket.
    h.reset();
    for (int i = 0; i < 100; ++i) {
        h.add(400);
    }
    h.add(9000);
    EXPECT_EQ(h.count(), 101u);
    EXPECT_EQ(h.percentile(99, 9000), 500u);
    EXPECT_EQ(h.percentile(100, 9000), 10000u);
}

} // namespace
