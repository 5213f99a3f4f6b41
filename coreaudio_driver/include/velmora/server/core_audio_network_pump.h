// One round of the server's network work: drain the socket through the receiver, then send up
// to 8 queued output blocks of the device to every announced client (a sync packet and the
// block's fragments for the client's output channels).
//
// Network thread only, under the server's mutex; `start` and `stop` are control operations.
// The snapshot buffer is allocated once by the constructor and the packet vectors are reused for
// every client and tick.
#pragma once

#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_udp_input_receiver.h>
#include <velmora/server/ipv4_endpoint.h>
#include <velmora/server/server_client_table.h>
#include <velmora/server/server_output_packets.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace VelmoraMac {

class CoreAudioDebugSharedState;

class CoreAudioNetworkPump {
public:
    // Output blocks sent per tick at most.
    static constexpr std::uint32_t kMaxSnapshotsPerTick = 8;

    struct Config {
        std::size_t payload_bytes = 1200;
        VelmoraCore::Ipv4Endpoint endpoint;
        std::uint32_t max_packets_per_tick = 64;
        std::uint32_t client_timeout_ms = 5000;
        std::uint32_t recv_buffer_bytes = 1048576;
        std::uint32_t send_buffer_bytes = 1048576;
    };

    struct Stats {
        std::uint32_t ticks = 0;
        std::uint32_t snapshots_sent = 0;       // delivered to at least one client
        std::uint32_t ticks_without_output = 0; // receive succeeded, no block went out
        std::uint32_t datagrams_received = 0;
        std::uint32_t errors = 0; // failed receive passes, plus clients whose batch failed
    };

    CoreAudioNetworkPump();
    ~CoreAudioNetworkPump();
    CoreAudioNetworkPump(const CoreAudioNetworkPump&) = delete;
    CoreAudioNetworkPump& operator=(const CoreAudioNetworkPump&) = delete;

    // Opens the socket. False (nothing opened) for a payload outside 52..65507 or when the
    // receiver cannot open.
    bool start(const Config& config);
    void stop();
    bool is_running() const { return running_; }

    // One round; false when not running or the receive pass failed (then nothing is sent).
    bool tick(CoreAudioHalRuntime& runtime);
    // Takes one queued output block and sends it to every client; false when none was queued.
    // A block is consumed even when no client got it.
    bool send_next_output_snapshot(CoreAudioHalRuntime& runtime);

    // Also handed to the receiver.
    void set_debug_state(CoreAudioDebugSharedState* debug_state);

    VelmoraCore::Ipv4Endpoint input_endpoint() const { return receiver_.bound_endpoint(); }
    std::uint32_t active_client_count() const { return receiver_.active_client_count(); }
    std::uint64_t latency_summary() const { return receiver_.latency_summary(); }
    const Stats& stats() const { return stats_; }
    const CoreAudioUdpInputReceiver::Stats& udp_input_stats() const { return receiver_.stats(); }
    const CoreAudioUdpInputReceiver::InputStats& input_stats() const { return receiver_.input_stats(); }
    // Rate and frame count of the last output block taken (0 before the first): what the server
    // thread paces itself by.
    std::uint32_t last_sample_rate() const { return last_sample_rate_; }
    std::uint32_t last_frames() const { return last_frames_; }

private:
    void reset();

    bool running_ = false;
    std::size_t payload_bytes_ = 1200;
    std::uint32_t max_packets_per_tick_ = 64;
    Stats stats_;
    CoreAudioDebugSharedState* debug_state_ = nullptr;
    std::unique_ptr<CoreAudioHalRuntime::Snapshot> snapshot_;
    std::vector<VelmoraProtocol::PacketBytes> packets_;
    VelmoraCore::ServerOutputBlockView view_;
    std::vector<VelmoraCore::ServerClientOutputTarget> targets_;
    std::uint32_t last_sample_rate_ = 0;
    std::uint32_t last_frames_ = 0;
    CoreAudioUdpInputReceiver receiver_;
};

} // namespace VelmoraMac
