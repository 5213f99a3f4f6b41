// The server's live statistics record, as the plug-in publishes it in POSIX shared memory and the
// statistics tool maps it read-only. A fixed binary format shared by two programs: 116 bytes, every
// field 32-bit little-endian at the offset below, never reordered.
//
//   0 signature "VDBG"            40 last_applied_sequence       80 last_timer_late_us
//   4 version 6                   44 last_sequence_delta         84 max_timer_late_us
//   8 active_client_count         48 max_sequence_delta          88 qos_enabled
//  12 process_input_call_count    52 last_queue_depth            92 qos_applied_flow_count
//  16 exact_match_count           56 max_queue_depth             96 last_qos_error
//  20 fallback_last_block_count   60 last_boundary_jump         100 qos_dscp
//  24 zero_fill_count             64 max_boundary_jump          104 qos_error_count
//  28 late_drop_count             68 timer_mmcss_active         108 last_output_enqueue_to_send_us
//  32 output_snapshot_drop_count  72 timer_late_count           112 max_output_enqueue_to_send_us
//  36 last_output_sequence        76 timer_miss_count
//
// Writers change one field per atomic operation; readers take no lock and may see fields from
// slightly different moments.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VelmoraDebug {

inline constexpr char kPosixSharedMappingName[] = "/VelmoraDebugStats_v6";
inline constexpr std::uint32_t kSharedStatsSignature = 0x47424456; // "VDBG" read little-endian
inline constexpr std::uint32_t kSharedStatsVersion = 6;
// `last_sequence_delta` when no input block was used.
inline constexpr std::int32_t kNoSequenceDelta = -2147483647 - 1;

struct SharedStats {
    std::uint32_t signature;
    std::uint32_t version;
    std::int32_t active_client_count;
    std::int32_t process_input_call_count;
    std::int32_t exact_match_count;
    std::int32_t fallback_last_block_count;
    std::int32_t zero_fill_count;
    std::int32_t late_drop_count;
    std::int32_t output_snapshot_drop_count;
    std::uint32_t last_output_sequence;
    std::uint32_t last_applied_sequence;
    std::int32_t last_sequence_delta;
    std::int32_t max_sequence_delta;
    std::int32_t last_queue_depth;
    std::int32_t max_queue_depth;
    std::int32_t last_boundary_jump;
    std::int32_t max_boundary_jump;
    std::int32_t timer_mmcss_active;
    std::int32_t timer_late_count;
    std::int32_t timer_miss_count;
    std::int32_t last_timer_late_us;
    std::int32_t max_timer_late_us;
    std::int32_t qos_enabled;
    std::int32_t qos_applied_flow_count;
    std::int32_t last_qos_error;
    std::int32_t qos_dscp;
    std::int32_t qos_error_count;
    std::int32_t last_output_enqueue_to_send_us;
    std::int32_t max_output_enqueue_to_send_us;
};

inline constexpr std::size_t kSharedStatsSize = 116;

static_assert(sizeof(SharedStats) == kSharedStatsSize);
static_assert(offsetof(SharedStats, active_client_count) == 8);
static_assert(offsetof(SharedStats, late_drop_count) == 28);
static_assert(offsetof(SharedStats, last_output_sequence) == 36);
static_assert(offsetof(SharedStats, last_sequence_delta) == 44);
static_assert(offsetof(SharedStats, last_queue_depth) == 52);
static_assert(offsetof(SharedStats, last_boundary_jump) == 60);
static_assert(offsetof(SharedStats, timer_mmcss_active) == 68);
static_assert(offsetof(SharedStats, last_timer_late_us) == 80);
static_assert(offsetof(SharedStats, qos_enabled) == 88);
static_assert(offsetof(SharedStats, qos_dscp) == 100);
static_assert(offsetof(SharedStats, last_output_enqueue_to_send_us) == 108);
static_assert(offsetof(SharedStats, max_output_enqueue_to_send_us) == 112);

} // namespace VelmoraDebug
