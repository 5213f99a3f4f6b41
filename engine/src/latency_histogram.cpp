#include <velmora/engine/latency_histogram.h>

namespace {

constexpr std::array<std::uint32_t, LatencyHistogram::bucket_count - 1> upper_bounds_us = {
    250, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000};

} // namespace

std::size_t LatencyHistogram::bucket_of(std::uint32_t microseconds) {
    for (std::size_t i = 0; i < upper_bounds_us.size(); ++i) {
        if (microseconds <= upper_bounds_us[i]) {
            return i;
        }
    }
    return bucket_count - 1;
}

void LatencyHistogram::reset() {
    buckets_.fill(0);
}

void LatencyHistogram::add(std::uint32_t microseconds) {
    ++buckets_[bucket_of(microseconds)];
}

std::uint64_t LatencyHistogram::count() const {
    std::uint64_t total = 0;
    for (const std::uint64_t bucket : buckets_) {
        total += bucket;
    }
    return total;
}

std::uint32_t LatencyHistogram::percentile(std::uint32_t percent, std::uint32_t max_seen) const {
    const std::uint64_t samples = count();
    if (samples == 0) {
        return 0;
    }
    const std::uint64_t rank = (99 + samples * percent) / 100;
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < upper_bounds_us.size(); ++i) {
        running += buckets_[i];
        if (running >= rank) {
            return upper_bounds_us[i];
        }
    }
    return max_seen;
}
