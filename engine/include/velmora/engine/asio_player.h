// The engine's bridge between the network and the local audio hardware.
//
// Model. The network side appends server output blocks to a playback queue; every device cycle
// plays one block from it and captures one block of input into a capture ring; a non-real-time
// flush step hands captured blocks to the network client and, about once a second, publishes
// telemetry and two "[asio]" statistics lines.
//
// Playback queue: one ring of C = block frames x max_queue_blocks floats per output channel, plus
// four per-frame metadata rings (sequence, server time, receive time, append time), with 64-bit
// free-running read and write frame indices (position = index mod C). Producer: the network
// thread, under the playback mutex. Consumer: the IO cycle, lock-free.
//
// Prebuffering and starvation: the cycle plays silence until prebuffer_blocks x F frames are
// queued ("primed"); once playing, a cycle that finds fewer than F frames plays silence and counts
// an underrun; after max(prebuffer_blocks, 3) such cycles in a row the queue prebuffers again.
//
// Drift: the queue is read at a speed steered towards target_queue_depth x F frames around a
// low-pass estimate of the server/device clock ratio taken from sync packets (drift_control.h);
// the fractional read uses `resample_playback_channel` (playback_resampler.h).
//
// Capture ring: max(8, max_queue_blocks + 3) slots filled by the IO cycle (one slot always stays
// free, so at most slots - 1 blocks wait) and emptied by the flush step under the flush mutex.
//
// Threads: control (start/stop), network (submit/update/flush), IO (device cycle) or the loopback
// thread (which plays both IO and flush roles). Callbacks run inside the flush step with the flush
// mutex held: they must not call `stop`.
#pragma once

#include <velmora/engine/audio_device.h>
#include <velmora/engine/audio_device_settings.h>
#include <velmora/engine/drift_control.h>
#include <velmora/engine/player_clock.h>
#include <velmora/platform/counter.h>
#include <velmora/protocol/sync_info.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class AsioPlayer {
public:
    struct PlaybackBlock {
        std::vector<float> samples;   // planar, channel_count x frame_count
        std::uint32_t sequence = 0;
        std::uint32_t sample_rate = 0;
        std::uint16_t frame_count = 0;
        std::uint16_t channel_count = 0;
        std::uint64_t server_time_local_ns = 0;   // 0 = unknown
        std::uint64_t receive_time_ns = 0;        // 0 = unknown
        std::uint64_t append_time_ns = 0;         // 0 = unknown
    };

    struct CapturedInputBlock {
        std::vector<float> samples;   // planar, channel_count x frame_count
        std::uint32_t sample_rate = 0;
        std::uint16_t frame_count = 0;
        std::uint16_t channel_count = 0;
    };

    static constexpr std::size_t max_metered_channels = 32;

    // Published about once a second. "per_sec" fields are differences between two publications.
    struct Telemetry {
        std::uint64_t recv_blocks_per_sec = 0;
        std::uint64_t callbacks_per_sec = 0;
        std::uint64_t dequeued_blocks_per_sec = 0;
        std::uint64_t rendered_frames = 0;
        double pll_ratio = 0.0;
        std::uint64_t queue_depth_frames = 0;
        std::uint64_t queue_min_frames = 0;
        std::uint64_t queue_max_frames = 0;
        std::uint64_t queue_target_frames = 0;
        double queue_error_frames = 0.0;
        double queue_depth_ms = 0.0;
        double queue_depth_blocks = 0.0;
        std::uint64_t underrun_count = 0;
        std::uint64_t overrun_count = 0;
        std::uint64_t playback_dropped_count = 0;
        std::uint64_t format_mismatch_count = 0;
        std::uint64_t output_not_ready_count = 0;
        std::uint64_t capture_dropped_count = 0;
        std::uint64_t callback_count = 0;
        std::uint64_t callback_processing_last_microseconds = 0;
        std::uint64_t callback_processing_max_microseconds = 0;
        std::uint64_t output_append_to_consume_last_microseconds = 0;
        std::uint64_t output_append_to_consume_max_microseconds = 0;
        std::uint64_t output_server_to_consume_last_microseconds = 0;
        std::uint64_t output_server_to_consume_max_microseconds = 0;
        bool device_lost = false;
        std::uint32_t requested_sample_rate = 0;
        std::uint32_t actual_sample_rate = 0;
        std::uint16_t requested_block_frames = 0;
        std::uint16_t actual_block_frames = 0;
        std::uint32_t input_level_count = 0;
        std::uint32_t output_level_count = 0;
        std::array<std::uint32_t, max_metered_channels> input_peak_milli{};
        std::array<std::uint32_t, max_metered_channels> output_peak_milli{};
    };

    using LogCallback = std::function<void(const std::string&)>;
    using CapturedBlockCallback = std::function<void(unsigned sample_rate, unsigned short frame_count,
                                                     unsigned short channel_count, const std::vector<float>& samples)>;
    using TelemetryCallback = std::function<void(const Telemetry&)>;
    using DeviceFactory = std::function<std::unique_ptr<AudioDevice>()>;

    // The platform backend (`create_audio_device`) and the machine's clocks.
    AsioPlayer();
    // Another backend and/or clock (simulations, tests). `clock` must outlive the player.
    explicit AsioPlayer(DeviceFactory device_factory, const PlayerClock& clock = PlayerClock::system());
    ~AsioPlayer();
    AsioPlayer(const AsioPlayer&) = delete;
    AsioPlayer& operator=(const AsioPlayer&) = delete;

    // Control thread; blocks (opens the device). Stops a previous run, checks the channel maps,
    // opens and starts the hardware device. False on any failure (the reason goes to `log`); the
    // player is then stopped.
    bool start(const AudioDeviceSettings& settings, LogCallback log, CapturedBlockCallback captured_block,
               TelemetryCallback telemetry);
    // Control thread; blocks. Like `start`, but runs the virtual loopback device on a thread of
    // its own instead of hardware.
    bool start_loopback(const AudioDeviceSettings& settings, LogCallback log, CapturedBlockCallback captured_block,
                        TelemetryCallback telemetry);
    // Control thread; blocks (joins the loopback thread, stops the device, waits for any append or
    // flush in progress). Safe to call repeatedly. Never from inside a player callback.
    void stop();

    // Network thread; takes the playback mutex, then runs the flush step. Appends one completed
    // server output block; a block of the wrong format or one that does not fit is dropped whole
    // and counted.
    void submit_playback_block(unsigned sequence, unsigned sample_rate, unsigned short frame_count,
                               unsigned short channel_count, const std::vector<float>& samples,
                               unsigned long long server_time_local_ns, unsigned long long receive_time_ns,
                               unsigned long long append_time_ns);
    // Network thread; lock-free hand-over, then runs the flush step. Reports one sync packet; the
    // next IO cycle applies it to the clock-ratio estimate.
    void update_remote_timeline(const VelmoraProtocol::SyncInfo& sync);
    // Network or loopback thread; takes the flush mutex and runs the callbacks under it. Delivers
    // captured blocks and publishes statistics when at least 1000 ms have passed.
    void flush_non_realtime_work();

    // IO thread: the device cycle. Lock-free, allocation-free.
    void on_buffer_switch(long buffer_index);
    // The plain function pointer handed to the device, with the player as context.
    static void buffer_switch_callback(void* context, long buffer_index);

    // Any thread; lock-free.
    // How the local input clock relates to the server's: 1 / pll_ratio (1.0 when pll_ratio <= 0).
    double input_clock_ratio() const;
    // The steered read speed for a queue of `buffered_frames` at the current estimate.
    double compute_playback_ratio(unsigned long buffered_frames) const;
    // Frames waiting in the playback queue: min(C, write - read).
    unsigned long get_playback_buffered_frames() const;

    // Any thread; pure. Largest |sample| in thousandths: 0 for none, 1000 from 1.0 up.
    static unsigned samples_peak_milli(const float* samples, unsigned long count);

private:
    // Network thread, caller holds the playback mutex.
    bool append_playback_block(const PlaybackBlock& block);
    // IO thread; lock-free, allocation-free.
    void consume_pending_remote_timeline();
    bool prepare_playback_for_current_cycle(PlaybackBlock& block, double& ratio, unsigned long& buffered_frames);
    // IO or loopback thread: fills the next capture slot channel by channel (`fill_channel` returns
    // whether the channel carries sound worth metering), or counts a drop when the ring is full.
    template <typename FillChannel>
    void capture_block(bool publish_meters, FillChannel fill_channel);
    void capture_input_block(long buffer_index, bool publish_meters);
    void capture_loopback_block(const PlaybackBlock& played, bool prepared, bool silence, bool publish_meters);
    bool should_publish_peak_meters();
    void publish_channel_peak(std::unique_ptr<std::atomic<unsigned>[]>& meters, unsigned long channel, unsigned value);
    void update_queue_depth_stats(unsigned long depth);
    void record_output_consume_timing(const PlaybackBlock& block, unsigned long long now_ns);
    void record_callback_processing(long long start_ticks, long long end_ticks, const VelmoraPlatform::Counter& counter);
    // Flush mutex held.
    bool dequeue_captured_input_block(CapturedInputBlock& out);
    void publish_statistics_locked(std::uint64_t now_ms);
    // Control thread, with no cycle running.
    void reset_playback_state();
    void reset_channel_level_meters();
    void update_peak_meter_stride();
    // Both mutexes held. Takes the settings and callbacks; a null device means loopback mode.
    void install_locked(const AudioDeviceSettings& settings, LogCallback log_callback,
                        CapturedBlockCallback captured_block, TelemetryCallback telemetry,
                        std::unique_ptr<AudioDevice> device);
    void reset_counters_locked();
    void allocate_cycle_buffers_locked();
    void log(const std::string& line) const;
    // Loopback thread.
    void run_loopback();
    bool wait_for_loopback_deadline(std::uint64_t deadline_ns);
    void publish_output_peaks(const PlaybackBlock& block, bool prepared);

    DeviceFactory device_factory_;
    const PlayerClock& clock_;

    // Replaced only by start/start_loopback/stop with both mutexes held and no cycle running.
    AudioDeviceSettings settings_;
    LogCallback log_callback_;
    CapturedBlockCallback captured_block_callback_;
    TelemetryCallback telemetry_callback_;
    std::unique_ptr<AudioDevice> device_;
    std::size_t block_frames_ = 0;
    double device_sample_rate_ = 0.0;
    std::size_t output_channel_count_ = 0;
    std::size_t input_channel_count_ = 0;
    bool loopback_mode_ = false;

    // Playback queue.
    // Read by any thread (queue depth, steering); replaced with both mutexes held.
    std::atomic<std::size_t> capacity_frames_{0};
    std::atomic<std::uint64_t> target_frames_{0};
    std::vector<std::vector<float>> playback_rings_;
    std::vector<std::uint32_t> sequence_ring_;
    std::vector<std::uint64_t> server_time_ring_;
    std::vector<std::uint64_t> receive_time_ring_;
    std::vector<std::uint64_t> append_time_ring_;
    // Free-running frame indices: write published (release) by the producer after it stores the
    // frames, read published (release) by the consumer after it is done with them.
    std::atomic<std::uint64_t> playback_read_index_{0};
    std::atomic<std::uint64_t> playback_write_index_{0};
    // IO thread state.
    bool primed_ = false;
    std::size_t starved_cycles_ = 0;
    double read_phase_ = 0.0;
    PlaybackBlock current_block_;

    // Clock tracking: the network thread stores the position, then increments the counter; the IO
    // thread reads the counter (acquire) before the position.
    std::atomic<double> pll_ratio_{1.0};
    ClockRatioEstimator ratio_estimator_;
    std::atomic<std::uint64_t> pending_remote_position_{0};
    std::atomic<std::uint64_t> timeline_update_count_{0};
    std::uint64_t applied_timeline_update_ = 0;
    std::atomic<std::uint64_t> local_frame_count_{0};
    std::atomic<std::uint64_t> rendered_frames_{0};

    // Capture ring: slot numbers modulo the slot count; the IO thread publishes write, the flush
    // step publishes read.
    std::vector<CapturedInputBlock> capture_slots_;
    std::atomic<std::size_t> capture_read_{0};
    std::atomic<std::size_t> capture_write_{0};
    CapturedInputBlock flush_block_;
    std::string statistics_line_;

    // Counters.
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<std::uint64_t> playback_dropped_{0};
    std::atomic<std::uint64_t> format_mismatches_{0};
    std::atomic<std::uint64_t> output_not_ready_{0};
    std::atomic<std::uint64_t> capture_dropped_{0};
    std::atomic<std::uint64_t> blocks_received_{0};
    std::atomic<std::uint64_t> cycles_dequeued_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> callback_last_us_{0};
    std::atomic<std::uint64_t> callback_max_us_{0};
    std::atomic<std::uint64_t> append_to_consume_last_us_{0};
    std::atomic<std::uint64_t> append_to_consume_max_us_{0};
    std::atomic<std::uint64_t> server_to_consume_last_us_{0};
    std::atomic<std::uint64_t> server_to_consume_max_us_{0};
    std::atomic<std::uint64_t> queue_depth_current_{0};
    std::atomic<std::uint64_t> queue_depth_min_{0};
    std::atomic<std::uint64_t> queue_depth_max_{0};
    // Flush mutex.
    std::uint64_t previous_blocks_received_ = 0;
    std::uint64_t previous_cycles_dequeued_ = 0;
    std::uint64_t previous_cycles_ = 0;
    std::uint64_t last_publication_ms_ = 0;
    VelmoraPlatform::Counter counter_{1000000000};

    // Meters.
    std::unique_ptr<std::atomic<unsigned>[]> input_meters_;
    std::unique_ptr<std::atomic<unsigned>[]> output_meters_;
    std::size_t metered_input_count_ = 0;
    std::size_t metered_output_count_ = 0;
    std::uint32_t meter_stride_ = 1;
    std::uint32_t meter_stride_counter_ = 0;

    // Loopback.
    std::atomic<bool> loopback_running_{false};
    std::atomic<bool> loopback_device_lost_{false};
    std::thread loopback_thread_;

    std::mutex flush_mutex_;
    std::mutex playback_mutex_;
};
