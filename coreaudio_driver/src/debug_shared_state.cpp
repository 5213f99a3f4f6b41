#include <velmora/server/debug_shared_state.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace VelmoraMac {
namespace {

using VelmoraDebug::SharedStats;

// Full ordering on every update: the record is read by another process that takes no lock.
template <typename T>
void store_field(T* field, T value) {
    if (field != nullptr) {
        std::atomic_ref<T>(*field).exchange(value, std::memory_order_seq_cst);
    }
}

} // namespace

CoreAudioDebugSharedState::CoreAudioDebugSharedState(std::string name) : name_(std::move(name)) {}

CoreAudioDebugSharedState::~CoreAudioDebugSharedState() { shutdown(); }

bool CoreAudioDebugSharedState::initialize() {
    if (is_mapped()) {
        return true;
    }
    const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        return false;
    }
    if (::ftruncate(fd, static_cast<off_t>(VelmoraDebug::kSharedStatsSize)) != 0) {
        ::close(fd);
        return false;
    }
    void* mapped = ::mmap(nullptr, VelmoraDebug::kSharedStatsSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    auto* stats = static_cast<SharedStats*>(mapped);
    write_fresh_record(*stats);
    mapping_.store(stats, std::memory_order_release);
    return true;
}

void CoreAudioDebugSharedState::shutdown() {
    SharedStats* stats = mapping_.exchange(nullptr, std::memory_order_acq_rel);
    if (stats != nullptr) {
        ::munmap(stats, VelmoraDebug::kSharedStatsSize);
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::shm_unlink(name_.c_str());
}

void CoreAudioDebugSharedState::reset_stats() {
    if (SharedStats* stats = record()) {
        write_fresh_record(*stats);
    }
}

bool CoreAudioDebugSharedState::is_mapped() const { return record() != nullptr; }

const SharedStats* CoreAudioDebugSharedState::stats() const { return record(); }

SharedStats CoreAudioDebugSharedState::snapshot() const {
    SharedStats copy{};
    if (SharedStats* stats = record()) {
        auto* source = reinterpret_cast<std::uint32_t*>(stats);
        auto* target = reinterpret_cast<std::uint32_t*>(&copy);
        for (std::size_t i = 0; i < VelmoraDebug::kSharedStatsSize / sizeof(std::uint32_t); ++i) {
            target[i] = std::atomic_ref<std::uint32_t>(source[i]).load(std::memory_order_seq_cst);
        }
    }
    return copy;
}

SharedStats* CoreAudioDebugSharedState::record() const { return mapping_.load(std::memory_order_acquire); }

void CoreAudioDebugSharedState::write_fresh_record(SharedStats& stats) {
    // Field by field, so a reader attached to an older record never sees a torn value.
    auto* words = reinterpret_cast<std::int32_t*>(&stats);
    for (std::size_t i = 2; i < VelmoraDebug::kSharedStatsSize / sizeof(std::int32_t); ++i) {
        store_field(&words[i], 0);
    }
    store_field(&stats.last_sequence_delta, VelmoraDebug::kNoSequenceDelta);
    // Signature and version in one store: a reader sees both or neither. The mapping is
    // page-aligned, so the 64-bit store is aligned.
    const std::uint64_t header =
        static_cast<std::uint64_t>(VelmoraDebug::kSharedStatsVersion) << 32 | VelmoraDebug::kSharedStatsSignature;
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(&stats)).store(header, std::memory_order_seq_cst);
}

void CoreAudioDebugSharedState::exchange(std::int32_t* field, std::int32_t value) { store_field(field, value); }

void CoreAudioDebugSharedState::exchange(std::uint32_t* field, std::uint32_t value) { store_field(field, value); }

void CoreAudioDebugSharedState::increment(std::int32_t* field) { add(field, 1); }

void CoreAudioDebugSharedState::add(std::int32_t* field, std::int32_t value) {
    if (field != nullptr) {
        std::atomic_ref<std::int32_t>(*field).fetch_add(value, std::memory_order_seq_cst);
    }
}

void CoreAudioDebugSharedState::update_max(std::int32_t* field, std::int32_t value) {
    if (field == nullptr) {
        return;
    }
    std::atomic_ref<std::int32_t> max(*field);
    std::int32_t seen = max.load(std::memory_order_seq_cst);
    while (value > seen && !max.compare_exchange_weak(seen, value, std::memory_order_seq_cst)) {
    }
}

std::int32_t CoreAudioDebugSharedState::clamp_float_to_micro(double seconds) {
    const double micro = std::fabs(seconds) * 1000000.0;
    if (std::isnan(micro)) {
        return 0;
    }
    return micro >= 2147483647.0 ? 2147483647 : static_cast<std::int32_t>(micro);
}

void CoreAudioDebugSharedState::set_active_client_count(std::uint32_t count) {
    exchange(field(&SharedStats::active_client_count), static_cast<std::int32_t>(count));
}

void CoreAudioDebugSharedState::increment_process_input_call_count() {
    increment(field(&SharedStats::process_input_call_count));
}

void CoreAudioDebugSharedState::increment_exact_match_count() { increment(field(&SharedStats::exact_match_count)); }

void CoreAudioDebugSharedState::increment_fallback_last_block_count() {
    increment(field(&SharedStats::fallback_last_block_count));
}

void CoreAudioDebugSharedState::increment_zero_fill_count() { increment(field(&SharedStats::zero_fill_count)); }

void CoreAudioDebugSharedState::increment_late_drop_count() { increment(field(&SharedStats::late_drop_count)); }

void CoreAudioDebugSharedState::increment_output_snapshot_drop_count() {
    increment(field(&SharedStats::output_snapshot_drop_count));
}

void CoreAudioDebugSharedState::set_last_output_sequence(std::uint32_t sequence) {
    exchange(field(&SharedStats::last_output_sequence), sequence);
}

void CoreAudioDebugSharedState::set_last_applied_sequence(std::uint32_t sequence) {
    exchange(field(&SharedStats::last_applied_sequence), sequence);
}

void CoreAudioDebugSharedState::set_last_sequence_delta(std::int32_t delta) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    exchange(&stats->last_sequence_delta, delta);
    if (delta != VelmoraDebug::kNoSequenceDelta) {
        update_max(&stats->max_sequence_delta, delta < 0 ? -delta : delta);
    }
}

void CoreAudioDebugSharedState::set_last_queue_depth(std::int32_t depth) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    exchange(&stats->last_queue_depth, depth);
    update_max(&stats->max_queue_depth, depth);
}

void CoreAudioDebugSharedState::set_last_boundary_jump(double seconds) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    const std::int32_t micro = clamp_float_to_micro(seconds);
    exchange(&stats->last_boundary_jump, micro);
    update_max(&stats->max_boundary_jump, micro);
}

void CoreAudioDebugSharedState::set_timer_mmcss_active(bool active) {
    exchange(field(&SharedStats::timer_mmcss_active), active ? 1 : 0);
}

void CoreAudioDebugSharedState::record_timer_late(std::int32_t late_us, std::int32_t missed) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    if (late_us > 0) {
        increment(&stats->timer_late_count);
        exchange(&stats->last_timer_late_us, late_us);
        update_max(&stats->max_timer_late_us, late_us);
    }
    if (missed >= 1) {
        add(&stats->timer_miss_count, missed);
    }
}

void CoreAudioDebugSharedState::set_qos_config(bool enabled, std::int32_t dscp) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    exchange(&stats->qos_enabled, enabled ? 1 : 0);
    exchange(&stats->qos_dscp, dscp);
}

void CoreAudioDebugSharedState::set_qos_applied_flow_count(std::int32_t count) {
    exchange(field(&SharedStats::qos_applied_flow_count), count);
}

void CoreAudioDebugSharedState::record_qos_error(std::int32_t code) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    exchange(&stats->last_qos_error, code);
    increment(&stats->qos_error_count);
}

void CoreAudioDebugSharedState::clear_qos_error() { exchange(field(&SharedStats::last_qos_error), 0); }

void CoreAudioDebugSharedState::record_output_enqueue_to_send(std::int32_t microseconds) {
    SharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    exchange(&stats->last_output_enqueue_to_send_us, microseconds);
    update_max(&stats->max_output_enqueue_to_send_us, microseconds);
}

} // namespace VelmoraMac
