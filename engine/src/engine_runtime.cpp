#include <velmora/engine/engine_runtime.h>

#include <velmora/platform/clocks.h>
#include <velmora/platform/environment.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace {

constexpr std::uint64_t kRetrySliceMs = 50;

// Pairs a channel map with its driver list by position; the unpaired tail of the longer is dropped.
template <typename Map, typename Drivers>
void pair_by_position(Map& map, Drivers& drivers) {
    const std::size_t paired = std::min(map.size(), drivers.size());
    map.resize(paired);
    drivers.resize(paired);
}

std::uint64_t now_ms() { return VelmoraPlatform::monotonic_milliseconds(); }

} // namespace

EngineRuntime::EngineRuntime() : EngineRuntime(create_audio_device) {}

EngineRuntime::EngineRuntime(AsioPlayer::DeviceFactory device_factory) : player_(std::move(device_factory)) {
    state_.abi_version = VELMORA_ENGINE_ABI_VERSION;
    state_.recovery_event_capacity = VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY;
    state_.next_recovery_sequence = 1;
    log_to_stderr_ = VelmoraPlatform::environment_string("VELMORA_ENGINE_LOG") == "stderr";
}

EngineRuntime::~EngineRuntime() { stop(); }

// ---------------------------------------------------------------------------------------------
// Control thread

bool EngineRuntime::start_from_config(const char* path) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (path == nullptr || *path == '\0') {
        std::lock_guard<std::mutex> lock(state_mutex_);
        set_error_locked(velmora_engine_error_config_path_empty, velmora_engine_message_config_path_empty);
        return false;
    }
    if (worker_.joinable()) {
        std::lock_guard<std::mutex> lock(state_mutex_);
        set_error_locked(velmora_engine_error_already_running, velmora_engine_message_already_running);
        return false;
    }
    // No worker exists, so the statistics block is closed: nothing here touches it.
    stop_requested_.store(false);
    audio_active_.store(false);
    hardware_mode_.store(false);
    running_sample_rate_.store(0);
    running_block_frames_.store(0);
    last_sync_ms_.store(0);
    recovery_attempts_.store(0);
    next_recovery_attempt_ms_ = 0;
    {
        std::lock_guard<std::mutex> lock(first_sync_mutex_);
        first_sync_received_ = false;
        first_sync_ = {};
    }
    {
        std::lock_guard<std::mutex> lock(resync_mutex_);
        resync_pending_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(recovery_mutex_);
        recovery_pending_ = false;
        pending_recovery_reason_ = velmora_engine_reason_none;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        health_tracking_ = {};
        reset_recovery_events_locked();
        state_.client_id = 0;
        state_.sample_rate = 0;
        state_.block_frames = 0;
        state_.actual_sample_rate = 0;
        state_.actual_block_frames = 0;
        state_.status = velmora_engine_status_starting;
        set_health_locked(velmora_engine_health_recovering, velmora_engine_reason_none,
                          velmora_engine_message_starting);
        state_.last_error_code = velmora_engine_error_none;
        state_.last_error_key = velmora_engine_message_none;
    }
    try {
        worker_ = std::thread(&EngineRuntime::run, this, std::string(path));
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(state_mutex_);
        set_error_locked(velmora_engine_error_thread_start_failed, velmora_engine_message_thread_start_failed);
        state_.status = velmora_engine_status_failed;
        return false;
    }
    return true;
}

void EngineRuntime::stop() {
    std::lock_guard<std::mutex> control(control_mutex_);
    stop_requested_.store(true);
    {
        // Taken so the worker cannot miss the wake-up between its check and its wait.
        std::lock_guard<std::mutex> lock(first_sync_mutex_);
    }
    first_sync_arrived_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

VelmoraEngineState EngineRuntime::get_state() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    VelmoraEngineState out = state_;
    const unsigned count = std::min(state_.recovery_event_count, VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY);
    const std::uint64_t next = state_.next_recovery_sequence == 0 ? 1 : state_.next_recovery_sequence;
    const std::uint64_t recorded = next - 1;
    const std::uint64_t oldest = recorded > count ? (recorded - count) % VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY : 0;
    for (unsigned i = 0; i < VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY; ++i) {
        out.recovery_events[i] =
            i < count ? state_.recovery_events[(oldest + i) % VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY]
                      : VelmoraEngineRecoveryEvent{};
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// State record

void EngineRuntime::set_status(VelmoraEngineStatus status) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_.status = status;
}

void EngineRuntime::set_health(VelmoraEngineHealth health, VelmoraEngineHealthReason reason,
                               VelmoraEngineMessageKey key) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    set_health_locked(health, reason, key);
}

void EngineRuntime::set_health_locked(VelmoraEngineHealth health, VelmoraEngineHealthReason reason,
                                      VelmoraEngineMessageKey key) {
    state_.health = health;
    state_.health_reason = reason;
    state_.health_message_key = key;
}

void EngineRuntime::set_error_locked(VelmoraEngineError error, VelmoraEngineMessageKey key) {
    state_.last_error_code = error;
    state_.last_error_key = key;
    if (error != velmora_engine_error_none) {
        set_health_locked(velmora_engine_health_failed, velmora_engine_reason_none, key);
    }
}

void EngineRuntime::fail(VelmoraEngineError error, VelmoraEngineMessageKey key) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        set_error_locked(error, key);
    }
    shared_.set_last_error(error);
}

void EngineRuntime::set_client_id(unsigned client_id) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_.client_id = client_id;
}

void EngineRuntime::set_format(unsigned sample_rate, unsigned short block_frames) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        state_.sample_rate = sample_rate;
        state_.block_frames = block_frames;
    }
    shared_.set_format(sample_rate, block_frames);
}

void EngineRuntime::set_actual_format(unsigned sample_rate, unsigned short block_frames) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_.actual_sample_rate = sample_rate;
    state_.actual_block_frames = block_frames;
}

void EngineRuntime::set_channel_level_maps(const std::vector<std::int64_t>& inputs,
                                           const std::vector<std::int64_t>& outputs) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const auto fill = [](VelmoraEngineChannelLevel* levels, std::uint32_t& count,
                         const std::vector<std::int64_t>& channels) {
        count = static_cast<std::uint32_t>(std::min<std::size_t>(channels.size(), VELMORA_ENGINE_MAX_CHANNEL_LEVELS));
        for (std::uint32_t i = 0; i < VELMORA_ENGINE_MAX_CHANNEL_LEVELS; ++i) {
            levels[i] = {i < count ? static_cast<std::uint32_t>(channels[i]) : 0u, 0u};
        }
    };
    fill(state_.input_levels, state_.input_level_count, inputs);
    fill(state_.output_levels, state_.output_level_count, outputs);
}

void EngineRuntime::update_channel_levels(const AsioPlayer::Telemetry& telemetry) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const auto copy = [](VelmoraEngineChannelLevel* levels, std::uint32_t count, std::uint32_t published,
                         const std::array<std::uint32_t, AsioPlayer::max_metered_channels>& peaks) {
        for (std::uint32_t i = 0; i < count && i < VELMORA_ENGINE_MAX_CHANNEL_LEVELS; ++i) {
            levels[i].peak_milli = i < published && i < peaks.size() ? peaks[i] : 0u;
        }
    };
    copy(state_.input_levels, state_.input_level_count, telemetry.input_level_count, telemetry.input_peak_milli);
    copy(state_.output_levels, state_.output_level_count, telemetry.output_level_count, telemetry.output_peak_milli);
}

void EngineRuntime::reset_recovery_events() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    reset_recovery_events_locked();
}

void EngineRuntime::reset_recovery_events_locked() {
    state_.recovery_event_count = 0;
    state_.recovery_event_capacity = VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY;
    state_.next_recovery_sequence = 1;
    for (VelmoraEngineRecoveryEvent& event : state_.recovery_events) {
        event = {};
    }
}

void EngineRuntime::record_recovery_event(VelmoraEngineRecoveryEventType type, VelmoraEngineHealthReason reason,
                                          unsigned attempt, VelmoraEngineError error, VelmoraEngineMessageKey key) {
    record_recovery_event_with_limit(type, reason, attempt, kRuntimeRecoveryAttempts, error, key);
}

void EngineRuntime::record_recovery_event_with_limit(VelmoraEngineRecoveryEventType type,
                                                     VelmoraEngineHealthReason reason, unsigned attempt,
                                                     unsigned max_attempts, VelmoraEngineError error,
                                                     VelmoraEngineMessageKey key) {
    const std::uint64_t tick = now_ms();
    std::lock_guard<std::mutex> lock(state_mutex_);
    const std::uint64_t sequence = state_.next_recovery_sequence == 0 ? 1 : state_.next_recovery_sequence;
    state_.next_recovery_sequence = sequence + 1;
    state_.recovery_events[(sequence - 1) % VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY] =
        VelmoraEngineRecoveryEvent{sequence, tick, static_cast<std::uint32_t>(type), static_cast<std::uint32_t>(reason),
                                   attempt, max_attempts, static_cast<std::uint32_t>(error),
                                   static_cast<std::uint32_t>(key)};
    if (state_.recovery_event_count < VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY) {
        ++state_.recovery_event_count;
    }
}

bool EngineRuntime::wait_for_retry_delay(std::uint64_t ms) const {
    std::uint64_t remaining = ms;
    while (remaining > 0) {
        if (is_stopping()) {
            return false;
        }
        const std::uint64_t slice = std::min(remaining, kRetrySliceMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        remaining -= slice;
    }
    return !is_stopping();
}

bool EngineRuntime::is_sync_timed_out(std::uint64_t now) const {
    const std::uint64_t last = last_sync_ms_.load(std::memory_order_acquire);
    return last != 0 && now > last && now - last >= kSyncTimeoutMs;
}

// ---------------------------------------------------------------------------------------------
// Worker thread

void EngineRuntime::set_shared_status(VelmoraEngineStatus status) { shared_.set_status(status); }

void EngineRuntime::set_status_everywhere(VelmoraEngineStatus status) {
    set_status(status);
    set_shared_status(status);
}

// A start step gave up: because stop was asked for (a clean stop), or because it failed.
void EngineRuntime::finish_failed_or_stopped() {
    if (is_stopping()) {
        ended_by_stop_request();
        finish_run(velmora_engine_status_stopped);
    } else {
        finish_run(velmora_engine_status_failed);
    }
}

void EngineRuntime::finish_run(VelmoraEngineStatus final_status) {
    set_status_everywhere(final_status);
    shared_.shutdown();
}

void EngineRuntime::ended_by_stop_request() {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        set_error_locked(velmora_engine_error_none, velmora_engine_message_none);
        set_health_locked(velmora_engine_health_inactive, velmora_engine_reason_none, velmora_engine_message_stopped);
    }
    shared_.set_last_error(velmora_engine_error_none);
}

void EngineRuntime::run(std::string path) {
    AppConfig::Settings settings = AppConfig::default_settings();
    std::string error;
    bool loaded = AppConfig::load_from_file(path, settings, error);
    if (loaded) {
        pair_by_position(settings.audio.input_channel_map, settings.client.driver_inputs);
        pair_by_position(settings.audio.output_channel_map, settings.client.driver_outputs);
        loaded = !settings.client.driver_inputs.empty() || !settings.client.driver_outputs.empty();
    }
    if (!loaded) {
        fail(velmora_engine_error_config_load_failed, velmora_engine_message_config_load_failed);
        set_status(velmora_engine_status_failed);
        return;
    }

    hardware_mode_.store(!settings.test.loopback_device);
    set_client_id(settings.client.client_id);
    set_channel_level_maps(settings.client.driver_inputs, settings.client.driver_outputs);

    if (!shared_.initialize(settings.client.client_id)) {
        fail(velmora_engine_error_telemetry_unavailable, velmora_engine_message_telemetry_unavailable);
        set_status(velmora_engine_status_failed);
        return;
    }
    shared_.set_last_error(velmora_engine_error_none);
    set_shared_status(velmora_engine_status_starting);

    if (!start_client_with_retries(settings.client)) {
        finish_failed_or_stopped();
        return;
    }

    set_status_everywhere(velmora_engine_status_waiting_sync);
    set_health(velmora_engine_health_recovering, velmora_engine_reason_waiting_sync,
               velmora_engine_message_waiting_first_sync);

    if (!wait_for_initial_sync(settings.audio)) {
        fail(velmora_engine_error_sync_not_received, velmora_engine_message_stopped_before_sync);
        client_.stop();
        finish_run(velmora_engine_status_stopped);
        return;
    }
    if (!client_.configure_server_format(settings.audio.sample_rate,
                                         static_cast<std::uint16_t>(settings.audio.block_frames))) {
        fail(velmora_engine_error_configure_failed, velmora_engine_message_configure_from_sync_failed);
        client_.stop();
        finish_run(velmora_engine_status_failed);
        return;
    }
    set_format(settings.audio.sample_rate, static_cast<unsigned short>(settings.audio.block_frames));

    if (settings.test.loopback_device) {
        if (!start_loopback_asio(settings.audio)) {
            stop_player();
            client_.stop();
            finish_run(velmora_engine_status_failed);
            return;
        }
    } else if (!start_initial_asio_with_retries(settings.audio)) {
        stop_player();
        client_.stop();
        finish_failed_or_stopped();
        return;
    }

    set_status_everywhere(velmora_engine_status_running);
    set_health(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);

    while (!is_stopping()) {
        if (!handle_resync(settings.audio, settings.test)) {
            break;
        }
        if (!handle_runtime_recovery(settings.audio, settings.test)) {
            break;
        }
        evaluate_sync_health();
        std::this_thread::sleep_for(std::chrono::milliseconds(kSupervisionPeriodMs));
    }

    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        failed = state_.status == velmora_engine_status_failed;
        if (!failed) {
            state_.status = velmora_engine_status_stopping;
            set_health_locked(velmora_engine_health_recovering, velmora_engine_reason_none,
                              velmora_engine_message_stopping);
        }
    }
    if (!failed) {
        set_shared_status(velmora_engine_status_stopping);
    }
    stop_player();
    client_.stop();
    if (!failed) {
        {
            std::lock_guard<std::mutex> lock(state_mutex_);
            state_.status = velmora_engine_status_stopped;
            set_health_locked(velmora_engine_health_inactive, velmora_engine_reason_none,
                              velmora_engine_message_stopped);
        }
        set_shared_status(velmora_engine_status_stopped);
    }
    shared_.shutdown();
}

bool EngineRuntime::start_client_with_retries(const VelmoraProtocol::ClientSettings& settings) {
    for (unsigned attempt = 1; attempt <= kNetworkAttempts; ++attempt) {
        if (is_stopping()) {
            return false;
        }
        if (attempt >= 2) {
            record_recovery_event_with_limit(velmora_engine_event_attempt_started, velmora_engine_reason_waiting_sync,
                                             attempt, kNetworkAttempts, velmora_engine_error_none,
                                             velmora_engine_message_recovery_detail_network_retrying);
            set_status_everywhere(velmora_engine_status_starting);
            set_health(velmora_engine_health_recovering, velmora_engine_reason_waiting_sync,
                       velmora_engine_message_network_retrying);
        }
        const bool started = client_.start(
            settings, [this](const std::string& line) { log(line); },
            [this](const VelmoraProtocol::CompletedOutputBlock& block) { on_output_block(block); },
            [this](const VelmoraProtocol::SyncInfo& sync) { on_sync(sync); },
            [this](const VelmoraClient::Telemetry& telemetry) { on_net_telemetry(telemetry); });
        if (started) {
            if (attempt >= 2) {
                fail(velmora_engine_error_none, velmora_engine_message_none);
                record_recovery_event_with_limit(velmora_engine_event_succeeded, velmora_engine_reason_waiting_sync,
                                                 attempt, kNetworkAttempts, velmora_engine_error_none,
                                                 velmora_engine_message_recovery_detail_network_succeeded);
            }
            return true;
        }
        const int reason = client_.last_start_failure_reason();
        client_.stop();
        if (reason == VelmoraClient::start_failure_incompatible_server) {
            {
                std::lock_guard<std::mutex> lock(state_mutex_);
                set_error_locked(velmora_engine_error_protocol_mismatch, velmora_engine_message_protocol_mismatch);
                state_.health_reason = velmora_engine_reason_protocol_mismatch;
            }
            shared_.set_last_error(velmora_engine_error_protocol_mismatch);
            return false;
        }
        record_recovery_event_with_limit(velmora_engine_event_attempt_failed, velmora_engine_reason_waiting_sync,
                                         attempt, kNetworkAttempts, velmora_engine_error_network_start_failed,
                                         velmora_engine_message_recovery_detail_network_failed_retry);
        if (attempt == kNetworkAttempts) {
            break;
        }
        fail(velmora_engine_error_network_start_failed, velmora_engine_message_network_start_failed);
        set_status_everywhere(velmora_engine_status_starting);
        set_health(velmora_engine_health_recovering, velmora_engine_reason_waiting_sync,
                   velmora_engine_message_network_waiting_retry);
        if (!wait_for_retry_delay(kRetryDelayMs)) {
            return false;
        }
    }
    if (is_stopping()) {
        return false;
    }
    record_recovery_event_with_limit(velmora_engine_event_exhausted, velmora_engine_reason_waiting_sync,
                                     kNetworkAttempts, kNetworkAttempts, velmora_engine_error_network_start_failed,
                                     velmora_engine_message_recovery_detail_network_exhausted);
    fail(velmora_engine_error_network_start_failed, velmora_engine_message_network_retry_exhausted);
    return false;
}

bool EngineRuntime::wait_for_initial_sync(AudioDeviceSettings& settings) {
    std::unique_lock<std::mutex> lock(first_sync_mutex_);
    while (!first_sync_received_ && !is_stopping()) {
        first_sync_arrived_.wait_for(lock, std::chrono::milliseconds(kSupervisionPeriodMs));
    }
    if (!first_sync_received_) {
        return false;
    }
    settings.sample_rate = first_sync_.sample_rate;
    settings.block_frames = first_sync_.frame_count;
    return true;
}

bool EngineRuntime::start_asio(const AudioDeviceSettings& settings) {
    return start_player(settings, false);
}

bool EngineRuntime::start_loopback_asio(const AudioDeviceSettings& settings) {
    return start_player(settings, true);
}

bool EngineRuntime::start_player(const AudioDeviceSettings& settings, bool loopback) {
    auto log_line = [this](const std::string& line) { log(line); };
    auto captured = [this](unsigned rate, unsigned short frames, unsigned short channels,
                           const std::vector<float>& samples) {
        on_captured_block(rate, frames, channels, samples);
    };
    auto telemetry = [this](const AsioPlayer::Telemetry& t) { on_asio_telemetry(t); };
    const bool started = loopback ? player_.start_loopback(settings, log_line, captured, telemetry)
                                  : player_.start(settings, log_line, captured, telemetry);
    if (!started) {
        fail(velmora_engine_error_audio_start_failed, loopback ? velmora_engine_message_loopback_start_failed
                                                               : velmora_engine_message_asio_start_failed);
        return false;
    }
    running_sample_rate_.store(settings.sample_rate);
    running_block_frames_.store(static_cast<std::uint32_t>(settings.block_frames));
    // A device reports the format it really runs at in its first telemetry; the loopback runs at
    // the configured one from the start.
    if (loopback) {
        set_actual_format(settings.sample_rate, static_cast<unsigned short>(settings.block_frames));
    } else {
        set_actual_format(0, 0);
    }
    audio_active_.store(true);
    return true;
}

bool EngineRuntime::start_audio(const AudioDeviceSettings& settings, const AppConfig::TestSettings& test) {
    return test.loopback_device ? start_loopback_asio(settings) : start_asio(settings);
}

bool EngineRuntime::start_initial_asio_with_retries(const AudioDeviceSettings& settings) {
    constexpr VelmoraEngineHealthReason reason = velmora_engine_reason_resyncing;
    for (unsigned attempt = 1; attempt <= kInitialAudioAttempts; ++attempt) {
        if (attempt == 1) {
            if (start_asio(settings)) {
                return true;
            }
        } else {
            record_recovery_event_with_limit(velmora_engine_event_attempt_started, reason, attempt,
                                             kInitialAudioAttempts, velmora_engine_error_none,
                                             velmora_engine_message_recovery_detail_initial_asio_retrying);
            set_status_everywhere(velmora_engine_status_recovering);
            set_health(velmora_engine_health_recovering, reason, velmora_engine_message_initial_asio_retrying);
            if (start_asio(settings)) {
                fail(velmora_engine_error_none, velmora_engine_message_none);
                record_recovery_event_with_limit(velmora_engine_event_succeeded, reason, attempt,
                                                 kInitialAudioAttempts, velmora_engine_error_none,
                                                 velmora_engine_message_recovery_detail_initial_asio_succeeded);
                return true;
            }
        }
        record_recovery_event_with_limit(velmora_engine_event_attempt_failed, reason, attempt, kInitialAudioAttempts,
                                         velmora_engine_error_audio_start_failed,
                                         velmora_engine_message_recovery_detail_initial_asio_failed_retry);
        if (attempt == kInitialAudioAttempts) {
            break;
        }
        set_status_everywhere(velmora_engine_status_recovering);
        set_health(velmora_engine_health_recovering, reason, velmora_engine_message_initial_asio_waiting_retry);
        stop_player();
        if (!wait_for_retry_delay(kRetryDelayMs)) {
            return false;
        }
    }
    if (is_stopping()) {
        return false;
    }
    record_recovery_event_with_limit(velmora_engine_event_exhausted, reason, kInitialAudioAttempts,
                                     kInitialAudioAttempts, velmora_engine_error_audio_start_failed,
                                     velmora_engine_message_recovery_detail_initial_asio_exhausted);
    fail(velmora_engine_error_audio_start_failed, velmora_engine_message_initial_asio_retry_exhausted);
    return false;
}

bool EngineRuntime::handle_resync(AudioDeviceSettings& settings, const AppConfig::TestSettings& test) {
    VelmoraProtocol::SyncInfo sync;
    {
        std::lock_guard<std::mutex> lock(resync_mutex_);
        if (!resync_pending_) {
            return true;
        }
        sync = pending_resync_;
        resync_pending_ = false;
    }
    set_status_everywhere(velmora_engine_status_recovering);
    set_health(velmora_engine_health_recovering, velmora_engine_reason_resyncing,
               velmora_engine_message_resyncing_format);
    stop_player();
    settings.sample_rate = sync.sample_rate;
    settings.block_frames = sync.frame_count;
    bool restarted = false;
    if (!client_.configure_server_format(sync.sample_rate, sync.frame_count)) {
        fail(velmora_engine_error_configure_failed, velmora_engine_message_configure_from_sync_failed);
    } else {
        set_format(sync.sample_rate, sync.frame_count);
        restarted = start_audio(settings, test);
    }
    if (!restarted) {
        set_status_everywhere(velmora_engine_status_failed);
        stop_requested_.store(true);
        return false;
    }
    set_status_everywhere(velmora_engine_status_running);
    set_health(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);
    fail(velmora_engine_error_none, velmora_engine_message_none);
    reset_health_tracking();
    recovery_attempts_.store(0);
    next_recovery_attempt_ms_ = 0;
    return true;
}

void EngineRuntime::request_runtime_recovery(VelmoraEngineHealthReason reason) {
    if (!hardware_mode_.load() || is_stopping()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(recovery_mutex_);
        if (recovery_pending_) {
            return;
        }
        recovery_pending_ = true;
        pending_recovery_reason_ = reason;
    }
    record_recovery_event(velmora_engine_event_requested, reason, recovery_attempts_.load() + 1,
                          velmora_engine_error_none, velmora_engine_message_recovery_detail_requested);
}

bool EngineRuntime::handle_runtime_recovery(AudioDeviceSettings& settings, const AppConfig::TestSettings& test) {
    if (!hardware_mode_.load()) {
        return true;
    }
    VelmoraEngineHealthReason reason = velmora_engine_reason_none;
    {
        std::lock_guard<std::mutex> lock(recovery_mutex_);
        if (!recovery_pending_) {
            return true;
        }
        reason = pending_recovery_reason_;
        recovery_pending_ = false;
    }
    const auto put_back = [this, reason] {
        std::lock_guard<std::mutex> lock(recovery_mutex_);
        if (!recovery_pending_) {
            recovery_pending_ = true;
            pending_recovery_reason_ = reason;
        }
    };
    const std::uint64_t now = now_ms();
    if (now < next_recovery_attempt_ms_) {
        put_back();
        return true;
    }
    if (recovery_attempts_.load() >= kRuntimeRecoveryAttempts) {
        record_recovery_event(velmora_engine_event_exhausted, reason, kRuntimeRecoveryAttempts,
                              velmora_engine_error_audio_start_failed,
                              velmora_engine_message_recovery_detail_runtime_exhausted);
        fail(velmora_engine_error_audio_start_failed, velmora_engine_message_runtime_retry_exhausted);
        set_status_everywhere(velmora_engine_status_failed);
        stop_requested_.store(true);
        return false;
    }
    const unsigned attempt = recovery_attempts_.fetch_add(1) + 1;
    record_recovery_event(velmora_engine_event_attempt_started, reason, attempt, velmora_engine_error_none,
                          velmora_engine_message_recovery_detail_runtime_retrying);
    set_status_everywhere(velmora_engine_status_recovering);
    set_health(velmora_engine_health_recovering, reason, velmora_engine_message_runtime_restarting);
    stop_player();
    if (!client_.configure_server_format(settings.sample_rate, static_cast<std::uint16_t>(settings.block_frames))) {
        record_recovery_event(velmora_engine_event_attempt_failed, reason, attempt,
                              velmora_engine_error_configure_failed,
                              velmora_engine_message_recovery_detail_configure_failed);
        fail(velmora_engine_error_configure_failed, velmora_engine_message_runtime_configure_failed);
        set_status_everywhere(velmora_engine_status_failed);
        stop_requested_.store(true);
        return false;
    }
    if (start_audio(settings, test)) {
        fail(velmora_engine_error_none, velmora_engine_message_none);
        reset_health_tracking();
        record_recovery_event(velmora_engine_event_succeeded, reason, attempt, velmora_engine_error_none,
                              velmora_engine_message_recovery_detail_runtime_succeeded);
        recovery_attempts_.store(0);
        next_recovery_attempt_ms_ = 0;
        set_status_everywhere(velmora_engine_status_running);
        set_health(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_runtime_recovered);
        return true;
    }
    record_recovery_event(velmora_engine_event_attempt_failed, reason, attempt, velmora_engine_error_audio_start_failed,
                          velmora_engine_message_recovery_detail_runtime_failed_retry);
    next_recovery_attempt_ms_ = now_ms() + kRetryDelayMs;
    set_status_everywhere(velmora_engine_status_recovering);
    set_health(velmora_engine_health_recovering, reason, velmora_engine_message_runtime_waiting_retry);
    put_back();
    return true;
}

void EngineRuntime::evaluate_sync_health() {
    if (!audio_active_.load()) {
        return;
    }
    const std::uint64_t now = now_ms();
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (state_.status == velmora_engine_status_running && is_sync_timed_out(now)) {
        set_health_locked(velmora_engine_health_recovering, velmora_engine_reason_waiting_sync,
                          velmora_engine_message_sync_timed_out);
    }
}

void EngineRuntime::deactivate_audio() {
    audio_active_.store(false, std::memory_order_seq_cst);
    // Pairs with `enter_audio`: a callback either saw the flag cleared, or is counted here.
    while (audio_callbacks_in_flight_.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void EngineRuntime::stop_player() {
    deactivate_audio();
    player_.stop();
}

void EngineRuntime::reset_health_tracking() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    health_tracking_ = {};
}

// ---------------------------------------------------------------------------------------------
// Telemetry thread

void EngineRuntime::evaluate_asio_health(const AsioPlayer::Telemetry& t) {
    set_actual_format(t.actual_sample_rate, t.actual_block_frames);
    VelmoraEngineHealthReason recovery = velmora_engine_reason_none;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        if (state_.status != velmora_engine_status_running) {
            return;
        }
        HealthTracking& seen = health_tracking_;
        const auto degrade = [this](VelmoraEngineHealthReason reason, VelmoraEngineMessageKey key) {
            set_health_locked(velmora_engine_health_degraded, reason, key);
        };
        const bool rate_differs = t.requested_sample_rate != 0 && t.actual_sample_rate != 0 &&
                                  t.requested_sample_rate != t.actual_sample_rate;
        const bool frames_differ = t.requested_block_frames != 0 && t.actual_block_frames != 0 &&
                                   t.requested_block_frames != t.actual_block_frames;
        bool decided = true;
        if (is_sync_timed_out(now_ms())) {
            set_health_locked(velmora_engine_health_recovering, velmora_engine_reason_waiting_sync,
                              velmora_engine_message_sync_timed_out);
        } else if (t.device_lost) {
            degrade(velmora_engine_reason_device_lost, velmora_engine_message_device_lost);
            recovery = velmora_engine_reason_device_lost;
        } else if (rate_differs || frames_differ || t.format_mismatch_count != seen.format_mismatches) {
            seen.format_mismatches = t.format_mismatch_count;
            if (t.requested_sample_rate != t.actual_sample_rate) {
                degrade(velmora_engine_reason_sample_rate_mismatch, velmora_engine_message_sample_rate_mismatch);
            } else {
                degrade(velmora_engine_reason_buffer_size_mismatch, velmora_engine_message_buffer_size_mismatch);
            }
        } else if (t.callback_count > 0 && t.callbacks_per_sec == 0 && ++seen.callback_stalls >= 2) {
            degrade(velmora_engine_reason_asio_callback_stopped, velmora_engine_message_callback_stopped);
            recovery = velmora_engine_reason_asio_callback_stopped;
        } else {
            decided = false;
        }
        if (!decided) {
            // A single stalled period is only counted; any period with callbacks ends the count.
            if (t.callback_count == 0 || t.callbacks_per_sec != 0) {
                seen.callback_stalls = 0;
            }
            if (t.output_not_ready_count != seen.output_not_ready) {
                seen.output_not_ready = t.output_not_ready_count;
                degrade(velmora_engine_reason_output_ready_failed, velmora_engine_message_output_ready_failed);
            } else if (t.capture_dropped_count != seen.capture_dropped) {
                seen.capture_dropped = t.capture_dropped_count;
                degrade(velmora_engine_reason_input_capture_dropped, velmora_engine_message_input_dropped);
            } else if (t.playback_dropped_count != seen.playback_dropped) {
                seen.playback_dropped = t.playback_dropped_count;
                degrade(velmora_engine_reason_output_block_dropped, velmora_engine_message_output_dropped);
            } else if (t.overrun_count != seen.overruns) {
                seen.overruns = t.overrun_count;
                degrade(velmora_engine_reason_playback_overrun, velmora_engine_message_playback_overrun);
            } else if (t.underrun_count != seen.underruns) {
                seen.underruns = t.underrun_count;
                degrade(velmora_engine_reason_playback_underrun, velmora_engine_message_playback_underrun);
            } else {
                set_health_locked(velmora_engine_health_healthy, velmora_engine_reason_none,
                                  velmora_engine_message_running);
            }
        }
    }
    if (recovery != velmora_engine_reason_none) {
        request_runtime_recovery(recovery);
    }
}

// ---------------------------------------------------------------------------------------------
// Callbacks

bool EngineRuntime::enter_audio() {
    audio_callbacks_in_flight_.fetch_add(1, std::memory_order_seq_cst);
    if (audio_active_.load(std::memory_order_seq_cst)) {
        return true;
    }
    audio_callbacks_in_flight_.fetch_sub(1, std::memory_order_seq_cst);
    return false;
}

void EngineRuntime::leave_audio() { audio_callbacks_in_flight_.fetch_sub(1, std::memory_order_seq_cst); }

void EngineRuntime::on_output_block(const VelmoraProtocol::CompletedOutputBlock& block) {
    if (!enter_audio()) {
        return;
    }
    player_.submit_playback_block(block.sequence, block.sample_rate, block.frame_count, block.channel_count,
                                  block.samples, block.server_time_local_ns, block.receive_time_ns,
                                  block.append_time_ns);
    leave_audio();
}

void EngineRuntime::on_sync(const VelmoraProtocol::SyncInfo& sync) {
    if (sync.sample_rate != 0 && sync.frame_count != 0) {
        last_sync_ms_.store(now_ms(), std::memory_order_release);
        std::lock_guard<std::mutex> lock(first_sync_mutex_);
        if (!first_sync_received_) {
            first_sync_ = sync;
            first_sync_received_ = true;
            first_sync_arrived_.notify_one();
        }
    }
    if (!enter_audio()) {
        return;
    }
    const std::uint32_t running_rate = running_sample_rate_.load();
    const std::uint32_t running_frames = running_block_frames_.load();
    const bool new_format = sync.sample_rate != 0 && sync.frame_count != 0 && running_rate != 0 &&
                            running_frames != 0 &&
                            (sync.sample_rate != running_rate || sync.frame_count != running_frames);
    if (new_format) {
        audio_active_.store(false, std::memory_order_seq_cst);
        std::lock_guard<std::mutex> lock(resync_mutex_);
        pending_resync_ = sync;
        resync_pending_ = true;
    } else {
        player_.update_remote_timeline(sync);
    }
    leave_audio();
}

void EngineRuntime::on_net_telemetry(const VelmoraClient::Telemetry& telemetry) { shared_.publish_net_stats(telemetry); }

void EngineRuntime::on_captured_block(unsigned sample_rate, unsigned short frame_count, unsigned short channel_count,
                                      const std::vector<float>& samples) {
    client_.submit_input_block(sample_rate, frame_count, channel_count, samples, player_.input_clock_ratio());
}

void EngineRuntime::on_asio_telemetry(const AsioPlayer::Telemetry& telemetry) {
    shared_.publish_asio_stats(telemetry);
    update_channel_levels(telemetry);
    evaluate_asio_health(telemetry);
}

void EngineRuntime::log(const std::string& line) const {
    if (!log_to_stderr_) {
        return;
    }
    static std::mutex log_mutex;
    std::lock_guard<std::mutex> lock(log_mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
}
