#include <velmora/debug_tool/server_stats_printer.h>

#include <atomic>
#include <cstdint>

namespace VelmoraCore {
namespace {

template <typename T>
T load_field(const T& field) {
    // The mapping is read-only; an atomic load only reads, so the const_cast writes nothing.
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

} // namespace

VelmoraDebug::SharedStats read_shared_stats(const VelmoraDebug::SharedStats& mapped) {
    VelmoraDebug::SharedStats copy{};
    copy.signature = load_field(mapped.signature);
    copy.version = load_field(mapped.version);
    copy.active_client_count = load_field(mapped.active_client_count);
    copy.process_input_call_count = load_field(mapped.process_input_call_count);
    copy.exact_match_count = load_field(mapped.exact_match_count);
    copy.fallback_last_block_count = load_field(mapped.fallback_last_block_count);
    copy.zero_fill_count = load_field(mapped.zero_fill_count);
    copy.late_drop_count = load_field(mapped.late_drop_count);
    copy.output_snapshot_drop_count = load_field(mapped.output_snapshot_drop_count);
    copy.last_output_sequence = load_field(mapped.last_output_sequence);
    copy.last_applied_sequence = load_field(mapped.last_applied_sequence);
    copy.last_sequence_delta = load_field(mapped.last_sequence_delta);
    copy.max_sequence_delta = load_field(mapped.max_sequence_delta);
    copy.last_queue_depth = load_field(mapped.last_queue_depth);
    copy.max_queue_depth = load_field(mapped.max_queue_depth);
    copy.last_boundary_jump = load_field(mapped.last_boundary_jump);
    copy.max_boundary_jump = load_field(mapped.max_boundary_jump);
    copy.timer_mmcss_active = load_field(mapped.timer_mmcss_active);
    copy.timer_late_count = load_field(mapped.timer_late_count);
    copy.timer_miss_count = load_field(mapped.timer_miss_count);
    copy.last_timer_late_us = load_field(mapped.last_timer_late_us);
    copy.max_timer_late_us = load_field(mapped.max_timer_late_us);
    copy.qos_enabled = load_field(mapped.qos_enabled);
    copy.qos_applied_flow_count = load_field(mapped.qos_applied_flow_count);
    copy.last_qos_error = load_field(mapped.last_qos_error);
    copy.qos_dscp = load_field(mapped.qos_dscp);
    copy.qos_error_count = load_field(mapped.qos_error_count);
    copy.last_output_enqueue_to_send_us = load_field(mapped.last_output_enqueue_to_send_us);
    copy.max_output_enqueue_to_send_us = load_field(mapped.max_output_enqueue_to_send_us);
    return copy;
}

void print_server_stats(std::FILE* stream, const VelmoraDebug::SharedStats& stats) {
    std::FILE* out = stream != nullptr ? stream : stdout;
    // Sequences are printed signed, as every other field: the line format is shared with tools
    // that parse it.
    std::fprintf(out,
                 "server clients=%d calls=%d exact=%d fallback=%d zero=%d late=%d outDrop=%d outSeq=%d "
                 "appliedSeq=%d queue=%d/%d timerMmcss=%d timerLate=%d timerMiss=%d timerLateUs=%d/%d "
                 "srvSendUs=%d/%d qos=%d/%d dscp=%d qosErr=%d/%d seqDelta=",
                 stats.active_client_count, stats.process_input_call_count, stats.exact_match_count,
                 stats.fallback_last_block_count, stats.zero_fill_count, stats.late_drop_count,
                 stats.output_snapshot_drop_count, static_cast<int>(stats.last_output_sequence),
                 static_cast<int>(stats.last_applied_sequence), stats.last_queue_depth, stats.max_queue_depth,
                 stats.timer_mmcss_active, stats.timer_late_count, stats.timer_miss_count,
                 stats.last_timer_late_us, stats.max_timer_late_us, stats.last_output_enqueue_to_send_us,
                 stats.max_output_enqueue_to_send_us, stats.qos_enabled, stats.qos_applied_flow_count,
                 stats.qos_dscp, stats.last_qos_error, stats.qos_error_count);
    if (stats.last_sequence_delta == VelmoraDebug::kNoSequenceDelta) {
        std::fputs("n/a", out);
    } else {
        std::fprintf(out, "%d", stats.last_sequence_delta);
    }
    std::fprintf(out, " maxDelta=%d jump=%.6f maxJump=%.6f\n", stats.max_sequence_delta,
                 static_cast<double>(stats.last_boundary_jump) / 1000000.0,
                 static_cast<double>(stats.max_boundary_jump) / 1000000.0);
    std::fflush(out);
}

} // namespace VelmoraCore
