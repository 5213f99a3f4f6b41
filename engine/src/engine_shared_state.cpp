#include <velmora/engine/engine_shared_state.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// 64-bit counters reach the clamps as unsigned long; a narrower type would cut them first.
static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));

namespace {

constexpr unsigned kMaxField = 2147483647u;

// Readers in other processes take no lock: each field goes out in one store. Relaxed is enough,
// since no field promises anything about another.
template <typename T>
void store_field(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// A 64-bit counter into an unsigned 32-bit field: clamped first, then narrowed.
void store_counter(std::uint32_t& field, std::uint64_t value) {
    store_field(field, static_cast<std::uint32_t>(EngineSharedState::clamp_size(value)));
}

void store_u32(std::uint32_t& field, std::uint32_t value) { store_field(field, EngineSharedState::clamp_u32(value)); }

void store_signed(std::int32_t& field, double value) {
    store_field(field, static_cast<std::int32_t>(EngineSharedState::clamp_double_to_long(value)));
}

} // namespace

EngineSharedState::~EngineSharedState() { shutdown(); }

bool EngineSharedState::initialize(unsigned client_id) {
    if (is_mapped()) {
        return true;
    }
    const std::string name = engine_shared_stats_name(client_id);
    // A block of this name can only be a leftover of a crashed engine: remove it, so the new one
    // can be created (and sized) afresh. An object of another user cannot be removed; the
    // exclusive create below then fails.
    if (::shm_unlink(name.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return false;
    }
    // Created here: every failure from now on removes it again.
    const auto abandon = [&] {
        ::close(fd);
        ::shm_unlink(name.c_str());
        return false;
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid()) {
        return abandon();
    }
    if (::ftruncate(fd, static_cast<off_t>(kEngineSharedStatsSize)) != 0) {
        return abandon();
    }
    void* mapped = ::mmap(nullptr, kEngineSharedStatsSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        return abandon();
    }
    fd_ = fd;
    name_ = name;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    auto* stats = static_cast<EngineSharedStats*>(mapped);
    // The object is new and zero-filled; the header goes last so a reader that finds the magic
    // also finds the version and client id.
    store_field(stats->client_id, clamp_u32(client_id));
    store_field(stats->version, kEngineSharedStatsVersion);
    std::uint32_t magic = 0;
    std::memcpy(&magic, "VENG", sizeof magic);
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(stats->magic)).store(magic, std::memory_order_release);
    mapping_.store(stats, std::memory_order_release);
    return true;
}

void EngineSharedState::shutdown() {
    if (EngineSharedStats* stats = mapping_.exchange(nullptr, std::memory_order_acq_rel)) {
        ::munmap(stats, kEngineSharedStatsSize);
    }
    if (!name_.empty()) {
        // Remove the name only while it still refers to the object created here.
        const int current = ::shm_open(name_.c_str(), O_RDONLY, 0);
        if (current >= 0) {
            struct stat info {};
            const bool ours = ::fstat(current, &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
            ::close(current);
            if (ours) {
                ::shm_unlink(name_.c_str());
            }
        }
        name_.clear();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    device_ = 0;
    inode_ = 0;
}

void EngineSharedState::reset_stats(unsigned client_id) {
    EngineSharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    auto* words = reinterpret_cast<std::uint32_t*>(stats);
    for (std::size_t i = offsetof(EngineSharedStats, status) / 4; i < kEngineSharedStatsSize / 4; ++i) {
        store_field(words[i], 0u);
    }
    store_field(stats->client_id, clamp_u32(client_id));
}

void EngineSharedState::set_status(unsigned status) {
    if (EngineSharedStats* stats = record()) {
        store_field(stats->status, clamp_u32(status));
    }
}

void EngineSharedState::set_last_error(unsigned error_code) {
    if (EngineSharedStats* stats = record()) {
        store_field(stats->last_error_code, clamp_u32(error_code));
    }
}

void EngineSharedState::set_format(unsigned sample_rate, unsigned short block_frames) {
    if (EngineSharedStats* stats = record()) {
        store_field(stats->sample_rate, clamp_u32(sample_rate));
        store_field(stats->block_frames, static_cast<std::uint32_t>(block_frames));
    }
}

void EngineSharedState::publish_net_stats(const VelmoraClient::Telemetry& t) {
    EngineSharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    store_counter(stats->net_recv_blocks_per_sec, t.received_blocks_per_second);
    store_counter(stats->net_duplicate_blocks_per_sec, t.duplicate_blocks_per_second);
    store_counter(stats->net_time_probe_response_count, t.probe_responses);
    store_counter(stats->net_time_probe_timeout_count, t.probe_timeouts);
    store_u32(stats->net_time_probe_last_rtt_microseconds, t.rtt_last_us);
    store_u32(stats->net_time_probe_min_rtt_microseconds, t.rtt_min_us);
    store_u32(stats->net_time_probe_max_rtt_microseconds, t.rtt_max_us);
    store_u32(stats->net_time_probe_p50_rtt_microseconds, t.rtt_p50_us);
    store_u32(stats->net_time_probe_p95_rtt_microseconds, t.rtt_p95_us);
    store_u32(stats->net_time_probe_p99_rtt_microseconds, t.rtt_p99_us);
    store_u32(stats->net_time_probe_offset_valid, t.clock_offset_valid);
    store_u32(stats->net_time_probe_offset_rtt_microseconds, t.clock_offset_rtt_us);
    for (std::size_t i = 0; i < EngineSharedStats::bucket_count; ++i) {
        store_counter(stats->net_time_probe_rtt_buckets[i], t.rtt_histogram[i]);
        store_counter(stats->net_sync_age_buckets[i], t.sync_age_histogram[i]);
    }
    store_counter(stats->net_sync_age_sample_count, t.sync_age_samples);
    store_u32(stats->net_sync_age_last_microseconds, t.sync_age_last_us);
    store_u32(stats->net_sync_age_min_microseconds, t.sync_age_min_us);
    store_u32(stats->net_sync_age_max_microseconds, t.sync_age_max_us);
    store_u32(stats->net_sync_age_p50_microseconds, t.sync_age_p50_us);
    store_u32(stats->net_sync_age_p95_microseconds, t.sync_age_p95_us);
    store_u32(stats->net_sync_age_p99_microseconds, t.sync_age_p99_us);
    store_u32(stats->output_recv_to_append_last_microseconds, t.output_recv_to_append_last_us);
    store_u32(stats->output_recv_to_append_max_microseconds, t.output_recv_to_append_max_us);
}

void EngineSharedState::publish_asio_stats(const AsioPlayer::Telemetry& t) {
    EngineSharedStats* stats = record();
    if (stats == nullptr) {
        return;
    }
    store_counter(stats->asio_recv_blocks_per_sec, t.recv_blocks_per_sec);
    store_counter(stats->asio_callbacks_per_sec, t.callbacks_per_sec);
    store_counter(stats->asio_dequeued_blocks_per_sec, t.dequeued_blocks_per_sec);
    store_counter(stats->asio_queue_depth_frames, t.queue_depth_frames);
    store_counter(stats->asio_queue_min_frames, t.queue_min_frames);
    store_counter(stats->asio_queue_max_frames, t.queue_max_frames);
    store_counter(stats->asio_queue_target_frames, t.queue_target_frames);
    store_signed(stats->asio_queue_error_frames, t.queue_error_frames);
    store_signed(stats->asio_queue_depth_microseconds, t.queue_depth_ms * 1000.0);
    store_signed(stats->asio_queue_depth_centi_blocks, t.queue_depth_blocks * 100.0);
    store_signed(stats->asio_pll_ratio_ppm, (t.pll_ratio - 1.0) * 1000000.0);
    store_counter(stats->asio_callback_processing_last_microseconds, t.callback_processing_last_microseconds);
    store_counter(stats->asio_callback_processing_max_microseconds, t.callback_processing_max_microseconds);
    store_counter(stats->underrun_count, t.underrun_count);
    store_counter(stats->overrun_count, t.overrun_count);
    store_counter(stats->playback_dropped_count, t.playback_dropped_count);
    store_counter(stats->capture_dropped_count, t.capture_dropped_count);
    store_counter(stats->output_append_to_consume_last_microseconds, t.output_append_to_consume_last_microseconds);
    store_counter(stats->output_append_to_consume_max_microseconds, t.output_append_to_consume_max_microseconds);
    store_counter(stats->output_server_to_consume_last_microseconds, t.output_server_to_consume_last_microseconds);
    store_counter(stats->output_server_to_consume_max_microseconds, t.output_server_to_consume_max_microseconds);
    store_field(stats->asio_rendered_frames, static_cast<std::uint64_t>(clamp_u64(t.rendered_frames)));
}

unsigned EngineSharedState::clamp_u32(unsigned value) { return value > kMaxField ? kMaxField : value; }

unsigned long long EngineSharedState::clamp_u64(unsigned long long value) {
    constexpr unsigned long long max = 9223372036854775807ull;
    return value > max ? max : value;
}

unsigned long EngineSharedState::clamp_size(unsigned long value) { return value > kMaxField ? kMaxField : value; }

long EngineSharedState::clamp_double_to_long(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483647.0) {
        return 2147483647L;
    }
    if (value <= -2147483648.0) {
        return -2147483648L;
    }
    return static_cast<long>(std::trunc(value));
}
