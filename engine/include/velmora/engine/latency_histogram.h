// A coarse latency histogram in microseconds with percentile estimates, used for the network
// client's round-trip times and sync ages.
//
// Ten buckets with inclusive upper bounds 250, 500, 1000, 2000, 5000, 10000, 20000, 50000,
// 100000 us and one open bucket above. A percentile is the upper bound of the first bucket where
// the running count reaches the rank ceil(n x p / 100); in the open bucket it is the largest
// value seen. Not thread-safe: the owner guards it; never allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class LatencyHistogram {
public:
    static constexpr std::size_t bucket_count = 10;
    using Buckets = std::array<std::uint64_t, bucket_count>;

    // The bucket a value falls in.
    static std::size_t bucket_of(std::uint32_t microseconds);

    void reset();
    void add(std::uint32_t microseconds);

    // `percent` in 1..100. `max_seen` answers for the open bucket. 0 while empty.
    std::uint32_t percentile(std::uint32_t percent, std::uint32_t max_seen) const;

    std::uint64_t count() const;
    const Buckets& buckets() const { return buckets_; }

private:
    Buckets buckets_{};
};
