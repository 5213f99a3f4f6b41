// The server's one UDP socket, driven by the network thread.
//
// Each receive pass reads at most `max_packets` datagrams from the non-blocking socket and then
// returns: discovery and time-probe requests are answered (with the port actually bound),
// Announces go to the client table, input fragments of known clients from their own endpoint are
// reassembled and summed into the device runtime. Everything else is counted and dropped. The
// pump sends the device's output through the same socket.
//
// Network thread only (the server holds its mutex around every call); never on the IO thread.
// Opening and closing are control operations that log; a receive pass makes system calls and
// logs only client arrivals, departures and rejected Announces.
#pragma once

#include <velmora/protocol/packet_formats.h>
#include <velmora/server/ipv4_endpoint.h>
#include <velmora/server/server_client_table.h>
#include <velmora/server/server_packet_handling.h>

#include <cstdint>
#include <vector>

namespace VelmoraMac {

class CoreAudioDebugSharedState;
class CoreAudioHalRuntime;

class CoreAudioUdpInputReceiver {
public:
    struct Stats {
        std::uint32_t datagrams_received = 0;     // every datagram of non-zero length
        std::uint32_t announces_accepted = 0;     // accepted Announces that are not disconnects
        std::uint32_t disconnects_accepted = 0;   // disconnects that removed a client
        std::uint32_t control_responses_sent = 0; // discovery and time-probe answers sent whole
        std::uint32_t packets_rejected = 0;       // everything refused, empty datagrams included
        std::uint32_t receive_errors = 0;         // receive calls failing other than "try again"
    };

    struct InputStats {
        std::uint32_t fragments_accepted = 0;
        std::uint32_t blocks_completed = 0;
        std::uint32_t fragments_rejected = 0;
        std::uint32_t late_drops = 0;
        std::uint32_t last_published_sequence = 0;
        std::uint32_t last_published_frames = 0;
    };

    CoreAudioUdpInputReceiver();
    ~CoreAudioUdpInputReceiver();
    CoreAudioUdpInputReceiver(const CoreAudioUdpInputReceiver&) = delete;
    CoreAudioUdpInputReceiver& operator=(const CoreAudioUdpInputReceiver&) = delete;

    // Opens a non-blocking UDP socket bound to `endpoint` (port 0: any free port). A configured
    // address other than 127.0.0.1 that cannot be bound falls back to 127.0.0.1 on the same port.
    // Buffer sizes of 0 keep the system's; a size the system refuses is logged and the system's
    // size kept. A client timeout of 0 means 5000 ms. Clears the table and the counters.
    bool open(const VelmoraCore::Ipv4Endpoint& endpoint, std::uint32_t client_timeout_ms,
              std::uint32_t recv_buffer_bytes, std::uint32_t send_buffer_bytes);
    // Closes the socket, forgets every client, timeout back to 5000 ms.
    void close();

    bool is_open() const;
    VelmoraCore::Ipv4Endpoint bound_endpoint() const { return bound_; }
    std::uint32_t active_client_count() const;
    const Stats& stats() const { return stats_; }
    const InputStats& input_stats() const { return input_stats_; }
    // Largest input latency (blocks) in the low 32 bits, largest output latency in the high.
    std::uint64_t latency_summary() const;
    std::vector<VelmoraCore::ServerClientOutputTarget> output_targets() const;
    void output_targets(std::vector<VelmoraCore::ServerClientOutputTarget>& targets) const;
    const VelmoraCore::ServerClientTable& clients() const { return clients_; }
    void set_debug_state(CoreAudioDebugSharedState* debug_state) { debug_state_ = debug_state; }

    // One receive pass of at most `max_packets` datagrams. False when the socket is closed or a
    // receive failed; true otherwise, including when the socket ran dry.
    bool receive_available(CoreAudioHalRuntime& runtime, std::uint32_t max_packets);

    // True when the Announce was accepted (a disconnect included).
    bool handle_announce_packet(const char* data, int size, const VelmoraCore::Ipv4Endpoint& sender);
    // True when the fragment was taken without error (late or duplicate blocks included).
    bool handle_audio_fragment_packet(const char* data, int size, const VelmoraCore::Ipv4Endpoint& sender,
                                      CoreAudioHalRuntime& runtime);

    // One sendto each; true only when the whole datagram went out. False for a closed socket or
    // an empty packet.
    bool send_packet(const VelmoraProtocol::PacketBytes& packet, const VelmoraCore::Ipv4Endpoint& endpoint);
    bool send_control_response(const VelmoraProtocol::PacketBytes& packet, const VelmoraCore::Ipv4Endpoint& endpoint);
    // The packets in order to one endpoint; stops with false at the first that cannot go out
    // whole. False for an empty batch.
    bool send_packet_batch(const std::vector<VelmoraProtocol::PacketBytes>& packets,
                           const VelmoraCore::Ipv4Endpoint& endpoint);

    // Drops every client silent for more than the client timeout.
    void prune_expired_clients(std::uint64_t now_ms);

private:
    void publish_client_count();

    long socket_;
    VelmoraCore::Ipv4Endpoint bound_;
    VelmoraCore::ServerClientTable clients_;
    CoreAudioDebugSharedState* debug_state_ = nullptr;
    std::uint32_t client_timeout_ms_;
    Stats stats_;
    InputStats input_stats_;
    // Reused from datagram to datagram.
    std::vector<char> receive_buffer_;
    std::vector<std::int64_t> announced_inputs_;
    std::vector<std::int64_t> announced_outputs_;
    VelmoraCore::ServerInputReceiveResult input_result_;
};

} // namespace VelmoraMac
