// The engine's side of the wire protocol: one UDP session with one server.
//
// Session. `start` opens a socket, finds the server (discovery for "auto") or checks the named
// one, then runs two threads: the receive thread (every datagram from the server: syncs, output
// fragments, time-probe answers, and the input blocks sent in answer to syncs) and the announce
// thread (an announce every `announce_period_ms`, a time probe at most once a second, an
// unanswered one given up after 3 s). There is no reconnect logic: while the server is silent the
// client keeps announcing and probing, and the runtime watches the probe time-outs and the age of
// the last sync.
//
// Sequences. Syncs are accepted when newer than the last one. A sync far behind the last one
// (more than a second of blocks) is a restarted server numbering from 0 again: it is accepted and
// the output and input sequence history is forgotten, as a new format does. A sync whose rate or
// frame count differs from the configured format is accepted whatever its sequence, for the
// runtime to reconfigure.
//
// Audio. Output fragments are reassembled in 8 slots; complete blocks go to the output callback in
// sequence order, missing ones as silent blocks. A gap wider than the playback queue (more than
// max(client_latency_blocks + 4, 6) blocks) is not filled: that much silence could only overrun
// the player's queue and push out the real block, so the history restarts at the new block. Input
// blocks from the audio capture path wait in the input FIFO; each accepted sync sends the block
// for sequence + client_latency_blocks, resampled toward the FIFO's target fill.
//
// Blocks and syncs with a frame count above 4096 (the largest block a server uses) or a zero rate
// or frame count are malformed and dropped.
//
// Threads: control (the runtime: start, stop, configure_server_format), receive, announce and
// audio capture (submit_input_block). One mutex guards the session state; no callback is called
// with it held.
#pragma once

#include <velmora/engine/input_fifo.h>
#include <velmora/engine/latency_histogram.h>
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/client_settings.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/protocol/sync_info.h>

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class VelmoraClient {
public:
    struct Telemetry {
        std::uint64_t received_blocks_per_second = 0;
        std::uint64_t duplicate_blocks_per_second = 0;
        std::uint64_t probe_responses = 0;
        std::uint64_t probe_timeouts = 0;
        std::uint32_t rtt_last_us = 0;
        std::uint32_t rtt_min_us = 0;
        std::uint32_t rtt_max_us = 0;
        std::uint32_t rtt_p50_us = 0;
        std::uint32_t rtt_p95_us = 0;
        std::uint32_t rtt_p99_us = 0;
        std::array<std::uint64_t, 10> rtt_histogram{};
        std::uint32_t clock_offset_valid = 0;
        std::uint32_t clock_offset_rtt_us = 0;
        std::uint64_t sync_age_samples = 0;
        std::uint32_t sync_age_last_us = 0;
        std::uint32_t sync_age_min_us = 0;
        std::uint32_t sync_age_max_us = 0;
        std::uint32_t sync_age_p50_us = 0;
        std::uint32_t sync_age_p95_us = 0;
        std::uint32_t sync_age_p99_us = 0;
        std::array<std::uint64_t, 10> sync_age_histogram{};
        std::uint32_t output_recv_to_append_last_us = 0;
        std::uint32_t output_recv_to_append_max_us = 0;
    };

    // Reasons of the last failed `start`.
    enum StartFailure : int {
        start_failure_none = 0,
        start_failure_socket = 1,
        start_failure_no_server = 2,
        start_failure_incompatible_server = 3,
        start_failure_thread = 4,
    };

    // Where the session sends: IPv4 address and port in host order.
    struct Endpoint {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
    };

    // What happened to the sequence history since `start`.
    struct SequenceEvents {
        std::uint64_t server_restarts = 0;      // syncs far behind the last one, taken as a new server
        std::uint64_t output_gap_restarts = 0;  // output gaps too wide to fill with silence
        std::uint64_t malformed_packets = 0;    // syncs and fragments with an impossible format
        std::uint64_t output_blocks_accepted = 0;
        std::uint64_t output_blocks_stale = 0;  // late or repeated, not delivered
        std::uint64_t silent_blocks_filled = 0; // missing blocks delivered as silence
    };

    using LogCallback = std::function<void(const std::string&)>;
    using OutputCallback = std::function<void(const VelmoraProtocol::CompletedOutputBlock&)>;
    using SyncCallback = std::function<void(const VelmoraProtocol::SyncInfo&)>;
    using TelemetryCallback = std::function<void(const Telemetry&)>;

    // The largest block frame count the client takes from the network.
    static constexpr std::uint16_t max_block_frames = 4096;
    static constexpr std::size_t assembly_slot_count = 8;

    VelmoraClient() = default;
    ~VelmoraClient();
    VelmoraClient(const VelmoraClient&) = delete;
    VelmoraClient& operator=(const VelmoraClient&) = delete;

    // Control thread; blocks for discovery or the compatibility check (up to
    // `discovery_timeout_ms`). True at once if already running. On failure the client is stopped
    // and `last_start_failure_reason` tells why. Callbacks may be empty; output blocks are
    // dropped, uncounted, while the output callback is empty. They are called on the receive and
    // announce threads, never with the client's mutex held, and must not call `stop`.
    bool start(const VelmoraProtocol::ClientSettings& settings, LogCallback log, OutputCallback output,
               SyncCallback sync, TelemetryCallback telemetry);
    // Control thread; blocks until both threads have ended. Idempotent; sends the disconnect when
    // the client was running.
    void stop();
    // Any thread.
    int last_start_failure_reason() const;

    // Control thread; takes the mutex and allocates. Sets the server's format, forgets the
    // sequence history and sets up the input FIFO for it. False for a zero rate or a frame count
    // of 0 or above `max_block_frames`.
    bool configure_server_format(std::uint32_t sample_rate, std::uint16_t frame_count);
    // Audio capture path; takes the mutex briefly, never allocates. Stores one planar block
    // (channel_count x frame_count samples) when it matches the server format and the number of
    // `driver_inputs`; `clock_ratio` is the player's capture/server clock ratio estimate.
    void submit_input_block(std::uint32_t sample_rate, std::uint16_t frame_count, std::uint16_t channel_count,
                            const std::vector<float>& samples, double clock_ratio);
    // Any thread; takes the mutex.
    std::size_t get_input_queue_index(std::size_t offset) const;

    // Any thread; take the mutex. For the runtime's statistics and for tests.
    Telemetry telemetry() const;
    Endpoint server_endpoint() const;
    SequenceEvents sequence_events() const;
    std::uint64_t input_queue_fill() const;
    // Engine host time minus server host time, once a time probe has been answered.
    std::optional<std::int64_t> clock_offset_ns() const;
    bool running() const { return running_.load(std::memory_order_acquire); }

private:
    struct SyncTiming {
        std::uint32_t sequence = 0;
        std::uint64_t server_host_time_ns = 0;
        std::uint64_t local_time_ns = 0;
        bool valid = false;
    };

    // Start steps (control thread, socket not yet shared).
    bool initialize_socket();
    bool discover_server_endpoint(int socket);
    bool verify_server_compatibility(int socket, const sockaddr_in& address);
    std::uint32_t make_announce_session_id() const;
    std::uint64_t make_nonce() const;

    // Announce thread.
    void announce_loop();
    void send_announce_once();
    void send_time_probe_once();

    // Receive thread.
    void receive_loop();
    void handle_packet(const char* data, int length);
    void handle_sync_packet(const char* data, int length);
    void handle_time_probe_response_packet(const char* data, int length);
    void handle_audio_fragment(const char* data, int length);
    void complete_assembly(VelmoraProtocol::CompletedOutputBlock& block);
    void send_captured_block_for_server_sequence(std::uint32_t sync_sequence, std::uint32_t sample_rate,
                                                 std::uint16_t frame_count);

    // Caller holds the mutex.
    void reset_session_state_locked();
    void forget_sequence_history_locked();
    void store_sync_timing_locked(std::uint32_t sequence, std::uint64_t server_time_ns, std::uint64_t local_time_ns);
    bool find_sync_timing_locked(std::uint32_t sequence, std::uint64_t& server_time_ns,
                                 std::uint64_t& local_time_ns) const;
    void record_sync_age_locked(std::uint64_t local_time_ns, std::uint64_t now_ns);
    void record_output_recv_to_append_locked(std::uint64_t receive_time_ns, std::uint64_t now_ns);
    std::uint32_t estimate_time_probe_rtt_percentile_locked(std::uint32_t percent) const;
    std::uint32_t estimate_sync_age_percentile_locked(std::uint32_t percent) const;
    Telemetry make_telemetry_snapshot_locked() const;
    std::uint32_t restart_threshold_blocks_locked(std::uint32_t sample_rate, std::uint16_t frame_count) const;

    // Any thread.
    // One datagram to the server; true when it went out whole.
    bool send_buffer(const void* data, std::size_t size);
    void log(const std::string& text) const;
    void log(const char* text) const;
    void publish_telemetry(const Telemetry& snapshot) const;

    // Written by `start` before the threads exist and read-only while they run.
    VelmoraProtocol::ClientSettings settings_;
    std::uint32_t session_id_ = 0;
    sockaddr_in server_address_{};
    LogCallback log_callback_;
    OutputCallback output_callback_;
    SyncCallback sync_callback_;
    TelemetryCallback telemetry_callback_;
    std::uint32_t gap_fill_limit_blocks_ = 0;

    std::atomic<int> socket_{-1};
    std::atomic<bool> running_{false};
    std::atomic<int> start_failure_reason_{start_failure_none};
    bool socket_runtime_started_ = false;
    std::thread receive_thread_;
    std::thread announce_thread_;

    // Wakes the announce thread early when stopping.
    std::mutex wake_mutex_;
    std::condition_variable wake_;

    mutable std::mutex mutex_;
    // Everything below is guarded by `mutex_`.
    std::uint32_t last_sync_sequence_ = 0;
    bool has_last_sync_ = false;
    std::uint32_t last_sent_input_sequence_ = 0;
    bool has_sent_input_ = false;
    // Bumped whenever the sequence history is forgotten, so an input send that was under way
    // does not record its sequence into the new history.
    std::uint64_t history_generation_ = 0;
    std::uint32_t server_sample_rate_ = 0;
    std::uint16_t server_frame_count_ = 0;
    bool server_format_known_ = false;
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> assembly_slots_;
    VelmoraProtocol::AudioFragmentAssemblyResult assembly_result_;
    std::array<SyncTiming, 16> sync_timings_{};
    InputFifo input_fifo_;
    VelmoraProtocol::EngineOutputReceiveState output_receive_state_{};
    std::uint64_t duplicate_blocks_this_second_ = 0;
    std::uint64_t received_blocks_this_second_ = 0;
    std::uint64_t received_blocks_per_second_ = 0;
    std::uint64_t duplicate_blocks_per_second_ = 0;
    std::uint64_t last_rate_report_ms_ = 0;
    std::uint64_t last_probe_sent_ms_ = 0;
    std::uint64_t probe_pending_since_ms_ = 0;
    std::uint64_t probe_id_ = 0;
    std::uint64_t probe_send_time_ns_ = 0;
    std::uint64_t probe_responses_ = 0;
    std::uint64_t probe_timeouts_ = 0;
    std::uint32_t rtt_last_us_ = 0;
    std::uint32_t rtt_min_us_ = 0;
    std::uint32_t rtt_max_us_ = 0;
    LatencyHistogram rtt_histogram_;
    std::int64_t clock_offset_ns_ = 0;
    std::uint32_t clock_offset_rtt_us_ = 0;
    bool clock_offset_valid_ = false;
    std::uint64_t sync_age_samples_ = 0;
    std::uint32_t sync_age_last_us_ = 0;
    std::uint32_t sync_age_min_us_ = 0;
    std::uint32_t sync_age_max_us_ = 0;
    LatencyHistogram sync_age_histogram_;
    std::uint32_t output_recv_to_append_last_us_ = 0;
    std::uint32_t output_recv_to_append_max_us_ = 0;
    bool probe_pending_ = false;
    bool probe_has_result_ = false;
    bool probe_sent_ = false;
    SequenceEvents sequence_events_;

    // Receive thread only: reused for every block, so a steady stream allocates nothing.
    std::vector<float> input_block_scratch_;
    std::vector<VelmoraProtocol::PacketBytes> packet_scratch_;
    VelmoraProtocol::CompletedOutputBlock delivery_block_;
    VelmoraProtocol::CompletedOutputBlock silent_block_;
};
