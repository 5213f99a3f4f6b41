#include <velmora/engine/asio_player.h>

#include <velmora/engine/loopback_schedule.h>
#include <velmora/engine/playback_resampler.h>

#include <pthread/qos.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_set>

namespace {

constexpr std::uint64_t nanoseconds_per_second = 1000000000;
constexpr std::size_t minimum_capture_slots = 8;

// value x multiplier / rate without an intermediate overflow (the product of a host time in
// nanoseconds and 1e9 leaves 64 bits after about 18 s); saturates at the largest u64.
std::uint64_t scale_ticks(std::uint64_t value, std::uint64_t multiplier, std::uint64_t rate) {
    __extension__ using wide = unsigned __int128;
    const wide scaled = static_cast<wide>(value) * multiplier / rate;
    if (scaled > std::numeric_limits<std::uint64_t>::max()) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(scaled);
}

void store_max(std::atomic<std::uint64_t>& target, std::uint64_t value) {
    std::uint64_t seen = target.load(std::memory_order_relaxed);
    while (seen < value && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

void count(std::atomic<std::uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// The first invalid entry of a channel map, as the message that names it, or null.
const char* channel_map_error(const std::vector<long>& map, const char* negative, const char* duplicate) {
    std::unordered_set<long> seen;
    for (long channel : map) {
        if (channel < 0) {
            return negative;
        }
        if (!seen.insert(channel).second) {
            return duplicate;
        }
    }
    return nullptr;
}

std::size_t capture_slot_count(const AudioDeviceSettings& settings) {
    // The ring must bridge pauses in the traffic that drains it as long as the network client's
    // input queue could absorb them, so it grows with the playback queue.
    return std::max(minimum_capture_slots, settings.max_queue_blocks + 3);
}

} // namespace

AsioPlayer::AsioPlayer() : AsioPlayer(create_audio_device) {}

AsioPlayer::AsioPlayer(DeviceFactory device_factory, const PlayerClock& clock)
    : device_factory_(std::move(device_factory)), clock_(clock) {}

AsioPlayer::~AsioPlayer() {
    stop();
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void AsioPlayer::reset_counters_locked() {
    for (auto* counter : {&underruns_, &overruns_, &playback_dropped_, &format_mismatches_, &output_not_ready_,
                          &capture_dropped_, &blocks_received_, &cycles_dequeued_, &cycles_, &callback_last_us_,
                          &callback_max_us_, &append_to_consume_last_us_, &append_to_consume_max_us_,
                          &server_to_consume_last_us_, &server_to_consume_max_us_, &queue_depth_current_,
                          &queue_depth_min_, &queue_depth_max_}) {
        counter->store(0, std::memory_order_relaxed);
    }
    counter_.rate = static_cast<std::int64_t>(nanoseconds_per_second);
    previous_blocks_received_ = 0;
    previous_cycles_dequeued_ = 0;
    previous_cycles_ = 0;
    last_publication_ms_ = clock_.monotonic_ms();
    meter_stride_ = 1;
    meter_stride_counter_ = 0;
    capture_read_.store(0, std::memory_order_relaxed);
    capture_write_.store(0, std::memory_order_relaxed);
    pending_remote_position_.store(0, std::memory_order_relaxed);
    timeline_update_count_.store(0, std::memory_order_relaxed);
    applied_timeline_update_ = 0;
    reset_playback_state();
}

bool AsioPlayer::start(const AudioDeviceSettings& settings, LogCallback log_callback,
                       CapturedBlockCallback captured_block, TelemetryCallback telemetry) {
    stop();

    const char* map_error = channel_map_error(settings.output_channel_map,
                                              "[asio] output_channel_map contains a negative channel.",
                                              "[asio] output_channel_map contains duplicate hardware channels.");
    if (map_error == nullptr) {
        map_error = channel_map_error(settings.input_channel_map,
                                      "[asio] input_channel_map contains a negative channel.",
                                      "[asio] input_channel_map contains duplicate hardware channels.");
    }
    if (map_error == nullptr && settings.output_channel_map.empty() && settings.input_channel_map.empty()) {
        map_error = "[asio] both output_channel_map and input_channel_map are empty.";
    }
    if (map_error != nullptr) {
        if (log_callback) {
            log_callback(map_error);
        }
        return false;
    }

    // Opening may take a second (the hardware is polled until it accepts the format), so it runs
    // before the locks are taken; the device calls nothing back until it is started.
    std::unique_ptr<AudioDevice> device = device_factory_ ? device_factory_() : nullptr;
    if (!device || !device->open(settings, log_callback, &AsioPlayer::buffer_switch_callback, this)) {
        stop();
        return false;
    }

    {
        // A network thread may be inside submit_playback_block or a flush: everything they touch
        // is replaced with both of their mutexes held.
        std::scoped_lock locks(flush_mutex_, playback_mutex_);
        install_locked(settings, std::move(log_callback), std::move(captured_block), std::move(telemetry),
                       std::move(device));
    }

    if (!device_->start()) {
        {
            std::lock_guard lock(flush_mutex_);
            log("[audio] device start failed.");
        }
        stop();
        return false;
    }
    return true;
}

bool AsioPlayer::start_loopback(const AudioDeviceSettings& settings, LogCallback log_callback,
                                CapturedBlockCallback captured_block, TelemetryCallback telemetry) {
    stop();

    const char* error = nullptr;
    if (settings.sample_rate == 0 || settings.block_frames < 1) {
        error = "[asio] loopback requires a non-zero sample rate and block size.";
    } else if (settings.output_channel_map.empty() || settings.input_channel_map.empty()) {
        error = "[asio] loopback requires both output and input channel maps.";
    }
    if (error != nullptr) {
        if (log_callback) {
            log_callback(error);
        }
        return false;
    }

    {
        std::scoped_lock locks(flush_mutex_, playback_mutex_);
        install_locked(settings, std::move(log_callback), std::move(captured_block), std::move(telemetry),
                       nullptr);
    }

    loopback_running_.store(true, std::memory_order_release);
    try {
        loopback_thread_ = std::thread(&AsioPlayer::run_loopback, this);
    } catch (const std::system_error&) {
        log("[asio] virtual loopback thread could not be started.");
        stop();
        return false;
    }
    {
        // The loopback thread logs its statistics under the flush mutex; the log sink never sees
        // two of the player's threads at once.
        std::lock_guard lock(flush_mutex_);
        log("[asio] virtual loopback started.");
    }
    return true;
}

void AsioPlayer::install_locked(const AudioDeviceSettings& settings, LogCallback log_callback,
                                CapturedBlockCallback captured_block, TelemetryCallback telemetry,
                                std::unique_ptr<AudioDevice> device) {
    settings_ = settings;
    log_callback_ = std::move(log_callback);
    captured_block_callback_ = std::move(captured_block);
    telemetry_callback_ = std::move(telemetry);
    loopback_mode_ = device == nullptr;
    capacity_frames_.store(0, std::memory_order_relaxed);
    output_channel_count_ = 0;
    reset_counters_locked();

    // An opened device has the last word on the format; the loopback runs at the configured one.
    device_ = std::move(device);
    block_frames_ = device_ ? device_->block_frames : settings_.block_frames;
    device_sample_rate_ = device_ ? device_->sample_rate : static_cast<double>(settings_.sample_rate);
    output_channel_count_ = settings_.output_channel_map.size();
    input_channel_count_ = settings_.input_channel_map.size();
    allocate_cycle_buffers_locked();
}

void AsioPlayer::allocate_cycle_buffers_locked() {
    reset_channel_level_meters();
    capacity_frames_.store(block_frames_ * settings_.max_queue_blocks, std::memory_order_relaxed);
    target_frames_.store(settings_.target_queue_depth * block_frames_, std::memory_order_relaxed);

    current_block_ = PlaybackBlock{};
    current_block_.channel_count = static_cast<std::uint16_t>(output_channel_count_);
    current_block_.frame_count = static_cast<std::uint16_t>(block_frames_);
    current_block_.sample_rate = static_cast<std::uint32_t>(device_sample_rate_);
    current_block_.samples.assign(output_channel_count_ * block_frames_, 0.0f);

    capture_slots_.assign(capture_slot_count(settings_), CapturedInputBlock{});
    for (CapturedInputBlock& slot : capture_slots_) {
        slot.samples.assign(block_frames_ * input_channel_count_, 0.0f);
    }
    capture_read_.store(0, std::memory_order_relaxed);
    capture_write_.store(0, std::memory_order_relaxed);
    flush_block_.samples.reserve(block_frames_ * input_channel_count_);
    statistics_line_.reserve(512);

    reset_playback_state();
}

void AsioPlayer::stop() {
    loopback_running_.store(false, std::memory_order_release);
    loopback_device_lost_.store(false, std::memory_order_relaxed);
    if (loopback_thread_.joinable()) {
        loopback_thread_.join();
    }
    if (device_) {
        device_->stop();
    }

    std::scoped_lock locks(flush_mutex_, playback_mutex_);
    device_.reset();
    capture_slots_.clear();
    capture_read_.store(0, std::memory_order_relaxed);
    capture_write_.store(0, std::memory_order_relaxed);
    timeline_update_count_.store(0, std::memory_order_relaxed);
    pending_remote_position_.store(0, std::memory_order_relaxed);
    applied_timeline_update_ = 0;
    loopback_mode_ = false;
    // A stopped player holds no queue: blocks submitted now are dropped instead of written into
    // rings nobody plays.
    capacity_frames_.store(0, std::memory_order_relaxed);
    target_frames_.store(0, std::memory_order_relaxed);
    reset_playback_state();
    // Dropped while the locks are held, so no append or flush can be running one of them.
    log_callback_ = nullptr;
    captured_block_callback_ = nullptr;
    telemetry_callback_ = nullptr;
}

void AsioPlayer::reset_playback_state() {
    const std::size_t capacity = capacity_frames_.load(std::memory_order_relaxed);
    playback_rings_.assign(capacity == 0 ? 0 : output_channel_count_, std::vector<float>(capacity, 0.0f));
    sequence_ring_.assign(capacity, 0);
    server_time_ring_.assign(capacity, 0);
    receive_time_ring_.assign(capacity, 0);
    append_time_ring_.assign(capacity, 0);
    if (capacity == 0) {
        playback_rings_.shrink_to_fit();
        sequence_ring_.shrink_to_fit();
        server_time_ring_.shrink_to_fit();
        receive_time_ring_.shrink_to_fit();
        append_time_ring_.shrink_to_fit();
    }
    primed_ = false;
    starved_cycles_ = 0;
    playback_read_index_.store(0, std::memory_order_relaxed);
    playback_write_index_.store(0, std::memory_order_relaxed);
    read_phase_ = 0.0;
    pll_ratio_.store(1.0, std::memory_order_relaxed);
    ratio_estimator_.reset();
    local_frame_count_.store(0, std::memory_order_relaxed);
    rendered_frames_.store(0, std::memory_order_relaxed);
    queue_depth_current_.store(0, std::memory_order_relaxed);
    queue_depth_min_.store(0, std::memory_order_relaxed);
    queue_depth_max_.store(0, std::memory_order_relaxed);
}

void AsioPlayer::reset_channel_level_meters() {
    metered_input_count_ = std::min(input_channel_count_, max_metered_channels);
    metered_output_count_ = std::min(output_channel_count_, max_metered_channels);
    input_meters_ = std::make_unique<std::atomic<unsigned>[]>(metered_input_count_);
    output_meters_ = std::make_unique<std::atomic<unsigned>[]>(metered_output_count_);
    for (std::size_t i = 0; i < metered_input_count_; ++i) {
        input_meters_[i].store(0, std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < metered_output_count_; ++i) {
        output_meters_[i].store(0, std::memory_order_relaxed);
    }
    meter_stride_counter_ = 0;
    meter_stride_ = 1;
    update_peak_meter_stride();
}

void AsioPlayer::update_peak_meter_stride() {
    meter_stride_counter_ = 0;
    meter_stride_ = 1;
    if (device_sample_rate_ > 0.0 && block_frames_ >= 1) {
        // About 30 meter readings a second whatever the block size.
        const double cycles_per_meter = device_sample_rate_ / static_cast<double>(block_frames_) / 30.0;
        if (cycles_per_meter > 1.0) {
            meter_stride_ = std::max(static_cast<std::uint32_t>(std::floor(cycles_per_meter + 0.5)), 1u);
        }
    }
}

void AsioPlayer::log(const std::string& line) const {
    if (log_callback_) {
        log_callback_(line);
    }
}

// ---------------------------------------------------------------------------------------------
// Network side

void AsioPlayer::submit_playback_block(unsigned sequence, unsigned sample_rate, unsigned short frame_count,
                                       unsigned short channel_count, const std::vector<float>& samples,
                                       unsigned long long server_time_local_ns, unsigned long long receive_time_ns,
                                       unsigned long long append_time_ns) {
    if (frame_count == 0 || channel_count == 0 || samples.empty()) {
        return;
    }
    PlaybackBlock block;
    block.samples = samples;
    block.sequence = sequence;
    block.sample_rate = sample_rate;
    block.frame_count = frame_count;
    block.channel_count = channel_count;
    block.server_time_local_ns = server_time_local_ns;
    block.receive_time_ns = receive_time_ns;
    block.append_time_ns = append_time_ns;
    {
        std::lock_guard lock(playback_mutex_);
        if (!append_playback_block(block)) {
            count(playback_dropped_);
        }
    }
    flush_non_realtime_work();
}

bool AsioPlayer::append_playback_block(const PlaybackBlock& block) {
    if (block.frame_count != block_frames_ ||
        block.sample_rate != static_cast<std::uint32_t>(device_sample_rate_)) {
        count(format_mismatches_);
        return false;
    }
    if (block.channel_count != playback_rings_.size()) {
        return false;
    }
    const std::size_t capacity = capacity_frames_.load(std::memory_order_relaxed);
    const std::size_t frames = block.frame_count;
    if (capacity == 0 || sequence_ring_.size() != capacity || capacity < frames ||
        block.samples.size() != static_cast<std::size_t>(block.channel_count) * frames) {
        return false;
    }
    const std::uint64_t write = playback_write_index_.load(std::memory_order_relaxed);
    // Acquire: the consumer is done with every frame before `read`, so they may be overwritten.
    const std::uint64_t read = playback_read_index_.load(std::memory_order_acquire);
    const std::uint64_t used = write - read;
    if (used > capacity) {
        return false;
    }
    if (capacity - used < frames) {
        count(overruns_);
        update_queue_depth_stats(static_cast<unsigned long>(std::min<std::uint64_t>(capacity, used)));
        return false;
    }
    for (std::size_t c = 0; c < block.channel_count; ++c) {
        float* ring = playback_rings_[c].data();
        const float* source = block.samples.data() + c * frames;
        for (std::size_t i = 0; i < frames; ++i) {
            ring[(write + i) % capacity] = source[i];
        }
    }
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t p = (write + i) % capacity;
        sequence_ring_[p] = block.sequence;
        server_time_ring_[p] = block.server_time_local_ns;
        receive_time_ring_[p] = block.receive_time_ns;
        append_time_ring_[p] = block.append_time_ns;
    }
    // Release: the frames and their metadata are visible before the consumer sees them counted.
    playback_write_index_.store(write + frames, std::memory_order_release);
    count(blocks_received_);
    const std::uint64_t now_read = playback_read_index_.load(std::memory_order_acquire);
    update_queue_depth_stats(
        static_cast<unsigned long>(std::min<std::uint64_t>(capacity, write + frames - now_read)));
    return true;
}

void AsioPlayer::update_remote_timeline(const VelmoraProtocol::SyncInfo& sync) {
    pending_remote_position_.store(sync.server_sample_time, std::memory_order_relaxed);
    // Sequentially consistent: the position is stored before the IO thread can see the new count.
    timeline_update_count_.fetch_add(1, std::memory_order_seq_cst);
    flush_non_realtime_work();
}

double AsioPlayer::input_clock_ratio() const {
    const double ratio = pll_ratio_.load(std::memory_order_relaxed);
    return ratio <= 0.0 ? 1.0 : 1.0 / ratio;
}

double AsioPlayer::compute_playback_ratio(unsigned long buffered_frames) const {
    return steered_playback_ratio(pll_ratio_.load(std::memory_order_relaxed), buffered_frames,
                                  target_frames_.load(std::memory_order_relaxed));
}

unsigned long AsioPlayer::get_playback_buffered_frames() const {
    const std::uint64_t write = playback_write_index_.load(std::memory_order_acquire);
    const std::uint64_t read = playback_read_index_.load(std::memory_order_acquire);
    return static_cast<unsigned long>(
        std::min<std::uint64_t>(capacity_frames_.load(std::memory_order_relaxed), write - read));
}

// ---------------------------------------------------------------------------------------------
// The real-time cycle

void AsioPlayer::buffer_switch_callback(void* context, long buffer_index) {
    static_cast<AsioPlayer*>(context)->on_buffer_switch(buffer_index);
}

void AsioPlayer::on_buffer_switch(long buffer_index) {
    AudioDevice* device = device_.get();
    if (device == nullptr) {
        return;
    }
    const std::uint64_t start = clock_.host_time_ns();
    count(cycles_);
    const bool publish = should_publish_peak_meters();
    consume_pending_remote_timeline();
    capture_input_block(buffer_index, publish);

    const bool was_primed = primed_;
    double ratio = 1.0;
    unsigned long buffered = 0;
    const bool ok = prepare_playback_for_current_cycle(current_block_, ratio, buffered);
    if (!ok && was_primed) {
        count(underruns_);
    } else {
        if (ok && start >= 1) {
            const std::uint64_t now_ns =
                scale_ticks(start, nanoseconds_per_second, static_cast<std::uint64_t>(counter_.rate));
            if (now_ns != 0) {
                record_output_consume_timing(current_block_, now_ns);
            }
        }
        rendered_frames_.fetch_add(block_frames_, std::memory_order_relaxed);
    }

    const long frames = static_cast<long>(block_frames_);
    const bool playable = ok && current_block_.frame_count == block_frames_ &&
                          current_block_.sample_rate == static_cast<std::uint32_t>(device_sample_rate_);
    for (std::size_t ch = 0; ch < output_channel_count_; ++ch) {
        if (playable && ch < current_block_.channel_count) {
            const float* channel = current_block_.samples.data() + ch * block_frames_;
            if (publish && ch < metered_output_count_) {
                publish_channel_peak(output_meters_, ch, samples_peak_milli(channel, block_frames_));
            }
            device->write_channel(static_cast<long>(ch), buffer_index, channel, frames);
        } else {
            device->write_channel(static_cast<long>(ch), buffer_index, nullptr, frames);
        }
    }
    if (!device->output_ready()) {
        count(output_not_ready_);
    }
    local_frame_count_.fetch_add(block_frames_, std::memory_order_relaxed);

    const std::uint64_t end = clock_.host_time_ns();
    record_callback_processing(static_cast<long long>(start), static_cast<long long>(end), counter_);
}

bool AsioPlayer::should_publish_peak_meters() {
    if (meter_stride_ <= 1) {
        return true;
    }
    const std::uint32_t before = meter_stride_counter_;
    meter_stride_counter_ = (meter_stride_counter_ + 1) % meter_stride_;
    return before == 0;
}

void AsioPlayer::consume_pending_remote_timeline() {
    // Acquire: pairs with the network thread's increment, which follows its store of the position.
    const std::uint64_t updates = timeline_update_count_.load(std::memory_order_acquire);
    if (updates == 0 || updates == applied_timeline_update_) {
        return;
    }
    const std::uint64_t remote = pending_remote_position_.load(std::memory_order_relaxed);
    const std::uint64_t local = local_frame_count_.load(std::memory_order_relaxed);
    ratio_estimator_.add_point(remote, local);
    pll_ratio_.store(ratio_estimator_.ratio(), std::memory_order_relaxed);
    applied_timeline_update_ = updates;
}

bool AsioPlayer::prepare_playback_for_current_cycle(PlaybackBlock& block, double& ratio,
                                                    unsigned long& buffered_frames) {
    const std::size_t frames = block_frames_;
    const std::size_t capacity = capacity_frames_.load(std::memory_order_relaxed);
    const std::uint64_t write = playback_write_index_.load(std::memory_order_acquire);
    const std::uint64_t read = playback_read_index_.load(std::memory_order_acquire);
    std::size_t buffered = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, write - read));
    buffered_frames = static_cast<unsigned long>(buffered);

    if (primed_ && buffered < frames) {
        ++starved_cycles_;
        if (starved_cycles_ < std::max<std::size_t>(settings_.prebuffer_blocks, 3)) {
            return false;
        }
        primed_ = false;
        read_phase_ = 0.0;
        return false;
    }
    if (!primed_) {
        if (buffered < settings_.prebuffer_blocks * frames) {
            return false;
        }
        primed_ = true;
    }
    starved_cycles_ = 0;
    if (playback_rings_.empty() || buffered < frames || capacity == 0) {
        return false;
    }

    ratio = steered_playback_ratio(pll_ratio_.load(std::memory_order_relaxed), buffered,
                                   target_frames_.load(std::memory_order_relaxed));

    const std::size_t position = static_cast<std::size_t>(read % capacity);
    block.sequence = sequence_ring_[position];
    block.server_time_local_ns = server_time_ring_[position];
    block.receive_time_ns = receive_time_ring_[position];
    block.append_time_ns = append_time_ring_[position];
    block.sample_rate = static_cast<std::uint32_t>(device_sample_rate_);
    block.frame_count = static_cast<std::uint16_t>(frames);
    if (playback_rings_.size() >= 65536) {
        return false;
    }
    block.channel_count = static_cast<std::uint16_t>(playback_rings_.size());
    if (block.samples.size() != playback_rings_.size() * frames) {
        return false;
    }

    if (ratio == 1.0 && read_phase_ == 0.0) {
        // Exact speed: a plain copy, in at most two runs around the ring's end.
        const std::size_t first = std::min(frames, capacity - position);
        for (std::size_t c = 0; c < playback_rings_.size(); ++c) {
            const float* ring = playback_rings_[c].data();
            float* out = block.samples.data() + c * frames;
            std::copy(ring + position, ring + position + first, out);
            std::copy(ring, ring + (frames - first), out + first);
        }
    } else {
        for (std::size_t c = 0; c < playback_rings_.size(); ++c) {
            resample_playback_channel(playback_rings_[c].data(), capacity, read, buffered, read_phase_, ratio,
                                      block.samples.data() + c * frames, frames);
        }
    }

    read_phase_ += static_cast<double>(frames) * ratio;
    const double whole = std::floor(read_phase_);
    if (whole >= 1.0) {
        const std::size_t advance = std::min(buffered, static_cast<std::size_t>(whole));
        // Release: the producer may overwrite these frames only after they were read.
        playback_read_index_.store(read + advance, std::memory_order_release);
        read_phase_ -= static_cast<double>(advance);
    }

    count(cycles_dequeued_);
    const std::uint64_t new_write = playback_write_index_.load(std::memory_order_acquire);
    const std::uint64_t new_read = playback_read_index_.load(std::memory_order_relaxed);
    buffered = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, new_write - new_read));
    buffered_frames = static_cast<unsigned long>(buffered);
    update_queue_depth_stats(buffered_frames);
    return true;
}

template <typename FillChannel>
void AsioPlayer::capture_block(bool publish_meters, FillChannel fill_channel) {
    if (!captured_block_callback_ || input_channel_count_ == 0 || capture_slots_.empty()) {
        return;
    }
    const std::size_t slots = capture_slots_.size();
    const std::size_t write = capture_write_.load(std::memory_order_relaxed);
    // Acquire: the flush step has finished copying the slot it released.
    if ((write + 1) % slots == capture_read_.load(std::memory_order_acquire)) {
        count(capture_dropped_);
        return;
    }
    CapturedInputBlock& slot = capture_slots_[write];
    const std::size_t frames = block_frames_;
    slot.sample_rate = static_cast<std::uint32_t>(device_sample_rate_);
    slot.frame_count = static_cast<std::uint16_t>(frames);
    slot.channel_count = static_cast<std::uint16_t>(input_channel_count_);
    for (std::size_t ch = 0; ch < input_channel_count_; ++ch) {
        float* destination = slot.samples.data() + ch * frames;
        const bool heard = fill_channel(ch, destination, frames);
        if (heard && publish_meters && ch < metered_input_count_) {
            publish_channel_peak(input_meters_, ch, samples_peak_milli(destination, frames));
        }
    }
    // Release: the slot's samples are complete before the flush step can see it.
    capture_write_.store((write + 1) % slots, std::memory_order_release);
}

void AsioPlayer::capture_input_block(long buffer_index, bool publish_meters) {
    capture_block(publish_meters, [&](std::size_t ch, float* destination, std::size_t frames) {
        device_->read_channel(static_cast<long>(ch), buffer_index, destination, static_cast<long>(frames));
        return true;
    });
}

bool AsioPlayer::dequeue_captured_input_block(CapturedInputBlock& out) {
    const std::size_t slots = capture_slots_.size();
    if (slots == 0) {
        return false;
    }
    const std::size_t read = capture_read_.load(std::memory_order_relaxed);
    // Acquire: pairs with the IO thread's release of the slot.
    if (read == capture_write_.load(std::memory_order_acquire)) {
        return false;
    }
    const CapturedInputBlock& slot = capture_slots_[read];
    out.sample_rate = slot.sample_rate;
    out.frame_count = slot.frame_count;
    out.channel_count = slot.channel_count;
    if (out.samples.size() != slot.samples.size()) {
        out.samples.resize(slot.samples.size());
    }
    std::copy(slot.samples.begin(), slot.samples.end(), out.samples.begin());
    // Release: the copy is finished before the IO thread may refill the slot.
    capture_read_.store((read + 1) % slots, std::memory_order_release);
    return true;
}

unsigned AsioPlayer::samples_peak_milli(const float* samples, unsigned long count) {
    if (samples == nullptr || count == 0) {
        return 0;
    }
    float peak = 0.0f;
    for (unsigned long i = 0; i < count; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
    }
    if (peak >= 1.0f) {
        return 1000;
    }
    if (!(peak > 0.0f)) {
        return 0;
    }
    return static_cast<unsigned>(std::floor(peak * 1000.0f + 0.5f));
}

void AsioPlayer::publish_channel_peak(std::unique_ptr<std::atomic<unsigned>[]>& meters, unsigned long channel,
                                      unsigned value) {
    std::atomic<unsigned>& meter = meters[channel];
    unsigned seen = meter.load(std::memory_order_relaxed);
    while (seen < value && !meter.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

void AsioPlayer::update_queue_depth_stats(unsigned long depth) {
    queue_depth_current_.store(depth, std::memory_order_relaxed);
    // 0 means "empty", so a 0 minimum is replaced by the next measurement.
    std::uint64_t minimum = queue_depth_min_.load(std::memory_order_relaxed);
    while ((minimum == 0 || minimum > depth) &&
           !queue_depth_min_.compare_exchange_weak(minimum, depth, std::memory_order_relaxed)) {
    }
    store_max(queue_depth_max_, depth);
}

void AsioPlayer::record_output_consume_timing(const PlaybackBlock& block, unsigned long long now_ns) {
    if (block.append_time_ns != 0 && block.append_time_ns <= now_ns) {
        const std::uint64_t elapsed_us = (now_ns - block.append_time_ns) / 1000;
        append_to_consume_last_us_.store(elapsed_us, std::memory_order_relaxed);
        store_max(append_to_consume_max_us_, elapsed_us);
    }
    if (block.server_time_local_ns != 0 && block.server_time_local_ns <= now_ns) {
        const std::uint64_t elapsed_us = (now_ns - block.server_time_local_ns) / 1000;
        server_to_consume_last_us_.store(elapsed_us, std::memory_order_relaxed);
        store_max(server_to_consume_max_us_, elapsed_us);
    }
}

void AsioPlayer::record_callback_processing(long long start_ticks, long long end_ticks,
                                            const VelmoraPlatform::Counter& counter) {
    if (end_ticks < start_ticks || counter.rate < 1) {
        return;
    }
    const std::uint64_t elapsed_us = scale_ticks(static_cast<std::uint64_t>(end_ticks - start_ticks), 1000000,
                                                 static_cast<std::uint64_t>(counter.rate));
    callback_last_us_.store(elapsed_us, std::memory_order_relaxed);
    store_max(callback_max_us_, elapsed_us);
}

// ---------------------------------------------------------------------------------------------
// Flush and statistics

void AsioPlayer::flush_non_realtime_work() {
    std::lock_guard lock(flush_mutex_);
    while (dequeue_captured_input_block(flush_block_)) {
        if (captured_block_callback_) {
            captured_block_callback_(flush_block_.sample_rate, flush_block_.frame_count, flush_block_.channel_count,
                                     flush_block_.samples);
        }
    }
    const std::uint64_t now_ms = clock_.monotonic_ms();
    if (now_ms < last_publication_ms_ || now_ms - last_publication_ms_ < 1000) {
        return;
    }
    publish_statistics_locked(now_ms);
}

void AsioPlayer::publish_statistics_locked(std::uint64_t now_ms) {
    const std::uint64_t depth = queue_depth_current_.load(std::memory_order_relaxed);
    const std::uint64_t period_min = queue_depth_min_.exchange(depth, std::memory_order_relaxed);
    const std::uint64_t period_max = queue_depth_max_.exchange(depth, std::memory_order_relaxed);

    const std::uint64_t received = blocks_received_.load(std::memory_order_relaxed);
    const std::uint64_t dequeued = cycles_dequeued_.load(std::memory_order_relaxed);
    const std::uint64_t cycles = cycles_.load(std::memory_order_relaxed);
    const std::uint64_t received_delta = received - previous_blocks_received_;
    const std::uint64_t dequeued_delta = dequeued - previous_cycles_dequeued_;
    const std::uint64_t cycles_delta = cycles - previous_cycles_;
    previous_blocks_received_ = received;
    previous_cycles_dequeued_ = dequeued;
    previous_cycles_ = cycles;

    const double pll_ratio = pll_ratio_.load(std::memory_order_relaxed);
    const std::uint64_t rendered = rendered_frames_.load(std::memory_order_relaxed);
    const std::uint64_t target = target_frames_.load(std::memory_order_relaxed);
    const double error = static_cast<double>(depth) - static_cast<double>(target);
    const double depth_ms = device_sample_rate_ > 0.0 ? static_cast<double>(depth) * 1000.0 / device_sample_rate_ : 0.0;
    const double depth_blocks = block_frames_ > 0 ? static_cast<double>(depth) / static_cast<double>(block_frames_) : 0.0;
    const std::uint64_t underruns = underruns_.load(std::memory_order_relaxed);
    const std::uint64_t overruns = overruns_.load(std::memory_order_relaxed);
    const std::uint64_t playback_dropped = playback_dropped_.load(std::memory_order_relaxed);
    const std::uint64_t capture_dropped = capture_dropped_.load(std::memory_order_relaxed);

    if (telemetry_callback_) {
        Telemetry t{};
        t.recv_blocks_per_sec = received_delta;
        t.callbacks_per_sec = cycles_delta;
        t.dequeued_blocks_per_sec = dequeued_delta;
        t.rendered_frames = rendered;
        t.pll_ratio = pll_ratio;
        t.queue_depth_frames = depth;
        t.queue_min_frames = period_min;
        t.queue_max_frames = period_max;
        t.queue_target_frames = target;
        t.queue_error_frames = error;
        t.queue_depth_ms = depth_ms;
        t.queue_depth_blocks = depth_blocks;
        t.underrun_count = underruns;
        t.overrun_count = overruns;
        t.playback_dropped_count = playback_dropped;
        t.format_mismatch_count = format_mismatches_.load(std::memory_order_relaxed);
        t.output_not_ready_count = output_not_ready_.load(std::memory_order_relaxed);
        t.capture_dropped_count = capture_dropped;
        t.callback_count = cycles;
        t.callback_processing_last_microseconds = callback_last_us_.load(std::memory_order_relaxed);
        t.callback_processing_max_microseconds = callback_max_us_.load(std::memory_order_relaxed);
        t.output_append_to_consume_last_microseconds = append_to_consume_last_us_.load(std::memory_order_relaxed);
        t.output_append_to_consume_max_microseconds = append_to_consume_max_us_.load(std::memory_order_relaxed);
        t.output_server_to_consume_last_microseconds = server_to_consume_last_us_.load(std::memory_order_relaxed);
        t.output_server_to_consume_max_microseconds = server_to_consume_max_us_.load(std::memory_order_relaxed);
        if (loopback_mode_) {
            t.device_lost = loopback_device_lost_.load(std::memory_order_relaxed);
        } else {
            t.device_lost = device_ ? device_->device_lost() : false;
        }
        t.requested_sample_rate = settings_.sample_rate;
        t.actual_sample_rate = static_cast<std::uint32_t>(device_sample_rate_);
        t.requested_block_frames = static_cast<std::uint16_t>(settings_.block_frames);
        t.actual_block_frames = static_cast<std::uint16_t>(block_frames_);
        t.input_level_count = static_cast<std::uint32_t>(metered_input_count_);
        t.output_level_count = static_cast<std::uint32_t>(metered_output_count_);
        for (std::size_t i = 0; i < metered_input_count_; ++i) {
            t.input_peak_milli[i] = input_meters_[i].exchange(0, std::memory_order_relaxed);
        }
        for (std::size_t i = 0; i < metered_output_count_; ++i) {
            t.output_peak_milli[i] = output_meters_[i].exchange(0, std::memory_order_relaxed);
        }
        telemetry_callback_(t);
    }

    if (log_callback_) {
        // Formatted into a buffer and a string reserved in start, so that the loopback thread,
        // which runs this step too, does not allocate for its statistics.
        char line[512];
        std::snprintf(line, sizeof line,
                      "[asio] recvBlocksPerSec=%llu callbacksPerSec=%llu dequeuedPerSec=%llu pll_ratio=%.6f "
                      "renderedFrames=%llu",
                      static_cast<unsigned long long>(received_delta), static_cast<unsigned long long>(cycles_delta),
                      static_cast<unsigned long long>(dequeued_delta), pll_ratio,
                      static_cast<unsigned long long>(rendered));
        statistics_line_.assign(line);
        log_callback_(statistics_line_);
        std::snprintf(line, sizeof line,
                      "[asio] playbackBuffer frames=%llu blocks=%.2f ms=%.2f target_frames=%llu error_frames=%.1f "
                      "minFrames=%llu maxFrames=%llu underruns=%llu overruns=%llu playbackDropped=%llu "
                      "captureDropped=%llu",
                      static_cast<unsigned long long>(depth), depth_blocks, depth_ms,
                      static_cast<unsigned long long>(target), error, static_cast<unsigned long long>(period_min),
                      static_cast<unsigned long long>(period_max), static_cast<unsigned long long>(underruns),
                      static_cast<unsigned long long>(overruns), static_cast<unsigned long long>(playback_dropped),
                      static_cast<unsigned long long>(capture_dropped));
        statistics_line_.assign(line);
        log_callback_(statistics_line_);
    }
    last_publication_ms_ = now_ms;
}

// ---------------------------------------------------------------------------------------------
// The virtual loopback device

// Sleeps in whole milliseconds while more than 2 ms remain, then in microseconds down to the last
// 0.2 ms, which it spins. Yielding instead of the fine sleep would be a busy wait whenever nothing
// else is runnable: at short blocks that kept a whole core busy per loopback client.
bool AsioPlayer::wait_for_loopback_deadline(std::uint64_t deadline_ns) {
    constexpr std::uint64_t sleep_margin_ns = 2000000;
    constexpr std::uint64_t spin_window_ns = 200000;
    while (loopback_running_.load(std::memory_order_acquire)) {
        const std::uint64_t now = clock_.host_time_ns();
        if (now >= deadline_ns) {
            return true;
        }
        const std::uint64_t remaining = deadline_ns - now;
        const std::uint64_t sleep_ms = remaining > sleep_margin_ns ? (remaining - sleep_margin_ns) / 1000000 : 0;
        if (sleep_ms > 0) {
            clock_.sleep_ms(static_cast<std::uint32_t>(std::min<std::uint64_t>(sleep_ms, 1000)));
        } else if (remaining > spin_window_ns) {
            clock_.sleep_us(static_cast<std::uint32_t>((remaining - spin_window_ns) / 1000));
        }
    }
    return false;
}

void AsioPlayer::publish_output_peaks(const PlaybackBlock& block, bool prepared) {
    if (!prepared) {
        return;
    }
    const std::size_t channels = std::min<std::size_t>(metered_output_count_, block.channel_count);
    for (std::size_t ch = 0; ch < channels; ++ch) {
        publish_channel_peak(output_meters_, ch, samples_peak_milli(block.samples.data() + ch * block_frames_,
                                                                    block_frames_));
    }
}

void AsioPlayer::capture_loopback_block(const PlaybackBlock& played, bool prepared, bool silence,
                                        bool publish_meters) {
    const bool echo = prepared && !silence;
    capture_block(publish_meters, [&](std::size_t ch, float* destination, std::size_t frames) {
        if (echo && ch < played.channel_count && played.samples.size() >= (ch + 1) * frames) {
            const float* source = played.samples.data() + ch * frames;
            std::copy(source, source + frames, destination);
            return true;
        }
        std::fill(destination, destination + frames, 0.0f);
        return false;
    });
}

void AsioPlayer::run_loopback() {
    pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);

    LoopbackSchedule schedule(settings_, clock_.host_time_ns());
    const std::uint64_t frames = block_frames_;
    while (loopback_running_.load(std::memory_order_acquire)) {
        const std::int64_t jitter = schedule.next_jitter_ns();
        if (!wait_for_loopback_deadline(schedule.deadline_ns(jitter))) {
            break;
        }
        const bool processed = schedule.begin_cycle();
        if (processed) {
            std::uint32_t stall = schedule.stall_ms(clock_.host_time_ns());
            // Slept in short slices so that stop() is not held up by a long stall.
            while (stall > 0 && loopback_running_.load(std::memory_order_acquire)) {
                const std::uint32_t slice = std::min<std::uint32_t>(stall, 10);
                clock_.sleep_ms(slice);
                stall -= slice;
            }
            if (!loopback_running_.load(std::memory_order_acquire)) {
                break;
            }

            const std::uint64_t cycle_start = clock_.host_time_ns();
            count(cycles_);
            bool publish = should_publish_peak_meters();
            consume_pending_remote_timeline();

            const bool was_primed = primed_;
            double ratio = 1.0;
            unsigned long buffered = 0;
            const bool prepared = prepare_playback_for_current_cycle(current_block_, ratio, buffered);
            if (!prepared && was_primed) {
                count(underruns_);
            } else {
                if (prepared && cycle_start >= 1) {
                    record_output_consume_timing(current_block_, cycle_start);
                }
                rendered_frames_.fetch_add(frames, std::memory_order_relaxed);
            }
            if (publish) {
                publish_output_peaks(current_block_, prepared);
            }

            const std::uint64_t now = clock_.host_time_ns();
            loopback_device_lost_.store(schedule.device_lost(now), std::memory_order_relaxed);
            const bool silence = schedule.input_silent(now);
            capture_loopback_block(current_block_, prepared, silence, publish);
            flush_non_realtime_work();
            local_frame_count_.fetch_add(frames, std::memory_order_relaxed);

            const std::uint32_t duplicates = schedule.duplicate_count();
            for (std::uint32_t d = 0; d < duplicates && loopback_running_.load(std::memory_order_acquire); ++d) {
                const std::uint64_t duplicate_start = clock_.host_time_ns();
                count(cycles_);
                publish = should_publish_peak_meters();
                capture_loopback_block(current_block_, prepared, silence, publish);
                flush_non_realtime_work();
                local_frame_count_.fetch_add(frames, std::memory_order_relaxed);
                record_callback_processing(static_cast<long long>(duplicate_start),
                                           static_cast<long long>(clock_.host_time_ns()), counter_);
            }
            record_callback_processing(static_cast<long long>(cycle_start),
                                       static_cast<long long>(clock_.host_time_ns()), counter_);
        }
        schedule.advance(clock_.host_time_ns(), processed);
    }
    loopback_device_lost_.store(false, std::memory_order_relaxed);
}
