// Writer of the server's shared statistics record (see debug_shared_stats.h).
//
// Control threads create and remove the object (`initialize`, `shutdown`, `reset_stats`); the IO
// thread and the network thread call the setters while it exists. Every setter is one atomic
// operation on the mapped record (or a compare-and-swap loop for a maximum), does nothing while
// nothing is mapped, and is lock-free, allocation-free and free of system calls: safe on the IO
// thread. The plug-in orders creation and removal around the server's start and stop, so no
// setter runs while `shutdown` unmaps.
#pragma once

#include <velmora/server/debug_shared_stats.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace VelmoraMac {

class CoreAudioDebugSharedState {
public:
    // `name` is the shared-memory object; the product uses the fixed name, tests their own.
    explicit CoreAudioDebugSharedState(std::string name = VelmoraDebug::kPosixSharedMappingName);
    ~CoreAudioDebugSharedState();
    CoreAudioDebugSharedState(const CoreAudioDebugSharedState&) = delete;
    CoreAudioDebugSharedState& operator=(const CoreAudioDebugSharedState&) = delete;

    // Creates (or reopens) the object, sizes and maps it, and starts the record from zeros.
    // True at once when already mapped. On failure nothing is mapped and nothing is logged.
    // Control thread; makes system calls.
    bool initialize();
    // Unmaps and closes, then always unlinks the name, so a stale object of an earlier run goes
    // too. Control thread, with no setter running.
    void shutdown();
    // Restarts a mapped record from zeros. Control thread.
    void reset_stats();

    bool is_mapped() const;
    const std::string& name() const { return name_; }
    // The mapped record; null while unmapped. Its fields change under the reader: read them
    // through `snapshot` while writers run.
    const VelmoraDebug::SharedStats* stats() const;
    // Every field read atomically, one by one (all zero while unmapped). Any thread.
    VelmoraDebug::SharedStats snapshot() const;

    // Any thread; lock-free, allocation-free.
    void set_active_client_count(std::uint32_t count);
    void increment_process_input_call_count();
    void increment_exact_match_count();
    void increment_fallback_last_block_count();
    void increment_zero_fill_count();
    void increment_late_drop_count();
    void increment_output_snapshot_drop_count();
    void set_last_output_sequence(std::uint32_t sequence);
    void set_last_applied_sequence(std::uint32_t sequence);
    // Also raises the largest |delta|, except for kNoSequenceDelta ("none").
    void set_last_sequence_delta(std::int32_t delta);
    void set_last_queue_depth(std::int32_t depth);
    void set_last_boundary_jump(double seconds);
    void set_timer_mmcss_active(bool active);
    void record_timer_late(std::int32_t late_us, std::int32_t missed);
    void set_qos_config(bool enabled, std::int32_t dscp);
    void set_qos_applied_flow_count(std::int32_t count);
    void record_qos_error(std::int32_t code);
    void clear_qos_error();
    void record_output_enqueue_to_send(std::int32_t microseconds);

    // One atomic operation on a field of the record; each does nothing for a null field.
    static void exchange(std::int32_t* field, std::int32_t value);
    static void exchange(std::uint32_t* field, std::uint32_t value);
    static void increment(std::int32_t* field);
    static void add(std::int32_t* field, std::int32_t value);
    // Raises the field to `value` when `value` is greater (signed); never lowers it.
    static void update_max(std::int32_t* field, std::int32_t value);
    // The integer part of min(|seconds| x 1e6, 2147483647); 0 for NaN.
    static std::int32_t clamp_float_to_micro(double seconds);

private:
    VelmoraDebug::SharedStats* record() const;
    // The field of the mapped record, or null while unmapped.
    template <typename T>
    T* field(T VelmoraDebug::SharedStats::*member) const {
        VelmoraDebug::SharedStats* stats = record();
        return stats != nullptr ? &(stats->*member) : nullptr;
    }
    void write_fresh_record(VelmoraDebug::SharedStats& stats);

    std::string name_;
    int fd_ = -1;
    std::atomic<VelmoraDebug::SharedStats*> mapping_{nullptr};
};

} // namespace VelmoraMac
