// The engine's live statistics block as other processes map it: POSIX shared memory named
// "/VelmoraEngineStats_<client id>_v6", 288 bytes, host byte order, every field naturally aligned.
// The engine writes each field with one atomic store (no sequence counter): a reader sees every
// field whole, but fields of one publication may mix with the previous one.
//
//   offset  field
//     0     magic "VENG", version 6, status, last_error_code, client_id, sample_rate, block_frames
//    28     network: blocks/s, duplicates/s, probe responses, probe time-outs, RTT last/min/max/
//           p50/p95/p99, offset valid, offset RTT, 10 RTT buckets
//   116     network: sync-age samples, last/min/max/p50/p95/p99, 10 sync-age buckets
//   184     player: blocks/s, callbacks/s, dequeued/s, queue depth/min/max/target, queue error,
//           depth in us and centi-blocks, PLL ppm, callback time last/max, four drop counters
//   252     output latencies: receive->append last/max (network), append->consume and
//           server->consume last/max (player)
//   276     reserved (0), 280 rendered frames (u64)
//
// Unsigned fields hold min(value, 2147483647); the four signed ones are clamped to the 32-bit
// range and truncated toward zero; rendered frames hold min(value, 2^63 - 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct EngineSharedStats {
    // Upper bounds of the ten histogram buckets, microseconds: 250, 500, 1000, 2000, 5000, 10000,
    // 20000, 50000, 100000, and everything above.
    static constexpr std::size_t bucket_count = 10;

    char magic[4];
    std::uint32_t version;
    std::uint32_t status;
    std::uint32_t last_error_code;
    std::uint32_t client_id;
    std::uint32_t sample_rate;
    std::uint32_t block_frames;

    std::uint32_t net_recv_blocks_per_sec;
    std::uint32_t net_duplicate_blocks_per_sec;
    std::uint32_t net_time_probe_response_count;
    std::uint32_t net_time_probe_timeout_count;
    std::uint32_t net_time_probe_last_rtt_microseconds;
    std::uint32_t net_time_probe_min_rtt_microseconds;
    std::uint32_t net_time_probe_max_rtt_microseconds;
    std::uint32_t net_time_probe_p50_rtt_microseconds;
    std::uint32_t net_time_probe_p95_rtt_microseconds;
    std::uint32_t net_time_probe_p99_rtt_microseconds;
    std::uint32_t net_time_probe_offset_valid;
    std::uint32_t net_time_probe_offset_rtt_microseconds;
    std::uint32_t net_time_probe_rtt_buckets[bucket_count];
    std::uint32_t net_sync_age_sample_count;
    std::uint32_t net_sync_age_last_microseconds;
    std::uint32_t net_sync_age_min_microseconds;
    std::uint32_t net_sync_age_max_microseconds;
    std::uint32_t net_sync_age_p50_microseconds;
    std::uint32_t net_sync_age_p95_microseconds;
    std::uint32_t net_sync_age_p99_microseconds;
    std::uint32_t net_sync_age_buckets[bucket_count];

    std::uint32_t asio_recv_blocks_per_sec;
    std::uint32_t asio_callbacks_per_sec;
    std::uint32_t asio_dequeued_blocks_per_sec;
    std::uint32_t asio_queue_depth_frames;
    std::uint32_t asio_queue_min_frames;
    std::uint32_t asio_queue_max_frames;
    std::uint32_t asio_queue_target_frames;
    std::int32_t asio_queue_error_frames;
    std::int32_t asio_queue_depth_microseconds;
    std::int32_t asio_queue_depth_centi_blocks;
    std::int32_t asio_pll_ratio_ppm;
    std::uint32_t asio_callback_processing_last_microseconds;
    std::uint32_t asio_callback_processing_max_microseconds;
    std::uint32_t underrun_count;
    std::uint32_t overrun_count;
    std::uint32_t playback_dropped_count;
    std::uint32_t capture_dropped_count;

    std::uint32_t output_recv_to_append_last_microseconds;
    std::uint32_t output_recv_to_append_max_microseconds;
    std::uint32_t output_append_to_consume_last_microseconds;
    std::uint32_t output_append_to_consume_max_microseconds;
    std::uint32_t output_server_to_consume_last_microseconds;
    std::uint32_t output_server_to_consume_max_microseconds;
    std::uint32_t reserved;
    std::uint64_t asio_rendered_frames;
};

static_assert(sizeof(EngineSharedStats) == 288);
static_assert(offsetof(EngineSharedStats, version) == 4);
static_assert(offsetof(EngineSharedStats, block_frames) == 24);
static_assert(offsetof(EngineSharedStats, net_recv_blocks_per_sec) == 28);
static_assert(offsetof(EngineSharedStats, net_time_probe_offset_rtt_microseconds) == 72);
static_assert(offsetof(EngineSharedStats, net_time_probe_rtt_buckets) == 76);
static_assert(offsetof(EngineSharedStats, net_sync_age_sample_count) == 116);
static_assert(offsetof(EngineSharedStats, net_sync_age_buckets) == 144);
static_assert(offsetof(EngineSharedStats, asio_recv_blocks_per_sec) == 184);
static_assert(offsetof(EngineSharedStats, asio_queue_error_frames) == 212);
static_assert(offsetof(EngineSharedStats, asio_pll_ratio_ppm) == 224);
static_assert(offsetof(EngineSharedStats, underrun_count) == 236);
static_assert(offsetof(EngineSharedStats, capture_dropped_count) == 248);
static_assert(offsetof(EngineSharedStats, output_recv_to_append_last_microseconds) == 252);
static_assert(offsetof(EngineSharedStats, output_server_to_consume_max_microseconds) == 272);
static_assert(offsetof(EngineSharedStats, reserved) == 276);
static_assert(offsetof(EngineSharedStats, asio_rendered_frames) == 280);

inline constexpr std::size_t kEngineSharedStatsSize = 288;
inline constexpr std::uint32_t kEngineSharedStatsVersion = 6;

// "/VelmoraEngineStats_" + decimal client id + "_v6". Any thread; allocates.
inline std::string engine_shared_stats_name(std::uint32_t client_id) {
    return "/VelmoraEngineStats_" + std::to_string(client_id) + "_v6";
}
