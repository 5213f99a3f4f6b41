// The engine's top-level object: one per process (the C interface owns it).
//
// `start_from_config` launches a worker thread that loads the configuration, opens the statistics
// block, starts the network client (12 attempts, 1 s apart), waits for the server's first sync to
// learn its sample rate and block size, configures the client for that format, starts the audio
// player on the hardware device (12 attempts) or on the virtual loopback, and then supervises
// every 100 ms: a sync announcing a new format restarts audio in that format (resync, no recovery
// event); a lost device or stalled callbacks rebuild the audio path (runtime recovery, hardware
// only, at most 3 attempts 1 s apart); the age of the last sync and the player's telemetry decide
// the health. Everything the outside sees is one `VelmoraEngineState`, kept under the state mutex.
//
// Audio hand-off. The network thread hands output blocks and sync timelines to the player only
// while `audio_active` is set, and counts itself in flight while it does (increment, re-check
// `audio_active`, call the player, decrement). Before the worker stops or restarts the player it
// clears `audio_active` and waits until nothing is in flight, so no callback can reach a player
// whose buffers are being rebuilt. No runtime mutex is held while calling the player or the client.
//
// Configuration lists. Right after loading, each channel map is paired with its driver list by
// position and the unpaired tail of the longer one is dropped (the control app reads the lists the
// same way); a configuration left with no driver channel in either direction fails to load, since
// its announces would read as disconnects to the server.
//
// Threads: the C-interface caller (start_from_config, stop, get_state), the worker (run), the
// network client's receive and announce threads (output block, sync and network telemetry
// callbacks), and the thread that publishes player telemetry (the network thread in hardware mode,
// the loopback thread in loopback mode), which evaluates health and may request a recovery. The
// real-time audio thread never enters the runtime. Mutexes: state, first sync, pending resync,
// pending recovery; never two at once.
#pragma once

#include <velmora/engine/app_config.h>
#include <velmora/engine/asio_player.h>
#include <velmora/engine/engine_shared_state.h>
#include <velmora/engine/velmora_client.h>
#include <velmora/engine/velmora_engine.h>
#include <velmora/protocol/sync_info.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class EngineRuntime {
public:
    static constexpr unsigned kNetworkAttempts = 12;
    static constexpr unsigned kInitialAudioAttempts = 12;
    static constexpr unsigned kRuntimeRecoveryAttempts = 3;
    static constexpr std::uint64_t kRetryDelayMs = 1000;
    static constexpr std::uint64_t kSupervisionPeriodMs = 100;
    // A sync this old (or older) means the server has gone quiet.
    static constexpr std::uint64_t kSyncTimeoutMs = 3001;

    EngineRuntime();
    // Another audio device backend for the player (tests).
    explicit EngineRuntime(AsioPlayer::DeviceFactory device_factory);
    // Stops (as `stop`) and then destroys the members.
    ~EngineRuntime();
    EngineRuntime(const EngineRuntime&) = delete;
    EngineRuntime& operator=(const EngineRuntime&) = delete;

    // Control thread; creates a thread. True when the worker was started. Refusals (null or empty
    // path, a worker not yet joined by `stop`, thread creation failed) return false and change
    // only the state record, never the statistics block.
    bool start_from_config(const char* path);
    // Control thread; blocks until the worker has ended (it notices within 100 ms).
    void stop();
    // Any thread; takes the state mutex. A consistent copy, recovery events oldest first.
    VelmoraEngineState get_state() const;
    // Any thread.
    bool is_stopping() const { return stop_requested_.load(std::memory_order_acquire); }

    // Any thread; take the state mutex. Record updates (the statistics block is not touched).
    void set_status(VelmoraEngineStatus status);
    void set_health(VelmoraEngineHealth health, VelmoraEngineHealthReason reason, VelmoraEngineMessageKey key);
    void set_client_id(unsigned client_id);
    void set_format(unsigned sample_rate, unsigned short block_frames);
    void set_actual_format(unsigned sample_rate, unsigned short block_frames);
    // Level counts min(size, 32) with each level's driver channel; every peak 0.
    void set_channel_level_maps(const std::vector<std::int64_t>& inputs, const std::vector<std::int64_t>& outputs);
    void update_channel_levels(const AsioPlayer::Telemetry& telemetry);
    // Clears the event ring: count 0, capacity 8, next sequence 1.
    void reset_recovery_events();
    // Appends an event with max_attempts 3 / with the given limit.
    void record_recovery_event(VelmoraEngineRecoveryEventType type, VelmoraEngineHealthReason reason,
                               unsigned attempt, VelmoraEngineError error, VelmoraEngineMessageKey key);
    void record_recovery_event_with_limit(VelmoraEngineRecoveryEventType type, VelmoraEngineHealthReason reason,
                                          unsigned attempt, unsigned max_attempts, VelmoraEngineError error,
                                          VelmoraEngineMessageKey key);
    // Any thread. Sleeps `ms` in slices of at most 50 ms; false as soon as stop is requested.
    bool wait_for_retry_delay(std::uint64_t ms) const;
    // Any thread. A sync has been seen and `now_ms` is more than 3000 ms after it. A last-sync time
    // later than `now_ms` (stored by another thread meanwhile) is an age of 0.
    bool is_sync_timed_out(std::uint64_t now_ms) const;

    // The thread that publishes player telemetry (public so the rules can be checked with crafted
    // telemetry). Records the device's actual format; then, only while running, applies the first
    // matching rule: sync overdue, device lost (asks for recovery), format mismatch, callbacks
    // stalled for two periods (asks for recovery), then the first changed counter among output
    // not ready, capture dropped, playback dropped, overrun, underrun; else healthy.
    void evaluate_asio_health(const AsioPlayer::Telemetry& telemetry);

private:
    // Worker thread.
    void run(std::string path);
    void finish_run(VelmoraEngineStatus final_status);
    void finish_failed_or_stopped();
    void fail(VelmoraEngineError error, VelmoraEngineMessageKey key);
    void set_shared_status(VelmoraEngineStatus status);
    void set_status_everywhere(VelmoraEngineStatus status);
    bool start_client_with_retries(const VelmoraProtocol::ClientSettings& settings);
    bool wait_for_initial_sync(AudioDeviceSettings& settings);
    bool start_asio(const AudioDeviceSettings& settings);
    bool start_loopback_asio(const AudioDeviceSettings& settings);
    bool start_player(const AudioDeviceSettings& settings, bool loopback);
    bool start_audio(const AudioDeviceSettings& settings, const AppConfig::TestSettings& test);
    bool start_initial_asio_with_retries(const AudioDeviceSettings& settings);
    bool handle_resync(AudioDeviceSettings& settings, const AppConfig::TestSettings& test);
    bool handle_runtime_recovery(AudioDeviceSettings& settings, const AppConfig::TestSettings& test);
    void evaluate_sync_health();
    // Clears `audio_active` and waits until no network callback is inside the player.
    void deactivate_audio();
    void stop_player();
    void reset_health_tracking();
    void ended_by_stop_request();

    // Telemetry thread.
    void request_runtime_recovery(VelmoraEngineHealthReason reason);

    // Network threads.
    void on_output_block(const VelmoraProtocol::CompletedOutputBlock& block);
    void on_sync(const VelmoraProtocol::SyncInfo& sync);
    void on_net_telemetry(const VelmoraClient::Telemetry& telemetry);
    // Inside the player's flush step.
    void on_captured_block(unsigned sample_rate, unsigned short frame_count, unsigned short channel_count,
                           const std::vector<float>& samples);
    void on_asio_telemetry(const AsioPlayer::Telemetry& telemetry);
    // Network thread: enter only while audio is active; leave after the player call.
    bool enter_audio();
    void leave_audio();

    void log(const std::string& line) const;
    void set_error_locked(VelmoraEngineError error, VelmoraEngineMessageKey key);
    void set_health_locked(VelmoraEngineHealth health, VelmoraEngineHealthReason reason, VelmoraEngineMessageKey key);
    void reset_recovery_events_locked();

    // Owned by value; destroyed in reverse order, the player (which calls into the client) first.
    VelmoraClient client_;
    AsioPlayer player_;
    EngineSharedState shared_;

    mutable std::mutex state_mutex_;
    VelmoraEngineState state_{};
    // Guarded by `state_mutex_`: the player's counters as last seen by the health rules.
    struct HealthTracking {
        std::uint64_t underruns = 0;
        std::uint64_t overruns = 0;
        std::uint64_t playback_dropped = 0;
        std::uint64_t format_mismatches = 0;
        std::uint64_t output_not_ready = 0;
        std::uint64_t capture_dropped = 0;
        unsigned callback_stalls = 0;
    } health_tracking_;

    // Serialises start_from_config and stop.
    std::mutex control_mutex_;
    std::thread worker_;

    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> audio_active_{false};
    std::atomic<int> audio_callbacks_in_flight_{0};
    std::atomic<bool> hardware_mode_{false};
    std::atomic<std::uint32_t> running_sample_rate_{0};
    std::atomic<std::uint32_t> running_block_frames_{0};
    std::atomic<std::uint64_t> last_sync_ms_{0};
    // Runtime recovery: attempts made (read by the telemetry thread for its events) and, worker
    // only, the earliest time of the next one.
    std::atomic<unsigned> recovery_attempts_{0};
    std::uint64_t next_recovery_attempt_ms_ = 0;

    std::mutex first_sync_mutex_;
    std::condition_variable first_sync_arrived_;
    bool first_sync_received_ = false;
    VelmoraProtocol::SyncInfo first_sync_{};

    std::mutex resync_mutex_;
    bool resync_pending_ = false;
    VelmoraProtocol::SyncInfo pending_resync_{};

    std::mutex recovery_mutex_;
    bool recovery_pending_ = false;
    VelmoraEngineHealthReason pending_recovery_reason_ = velmora_engine_reason_none;

    // Set from VELMORA_ENGINE_LOG=stderr: engine log lines go to standard error instead of nowhere.
    bool log_to_stderr_ = false;
};
