// The network client's settings, filled by the engine's configuration loader; the announce packet
// is built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VelmoraProtocol {

struct ClientSettings {
    std::uint32_t client_id = 1;
    std::uint16_t server_port = 28010;
    std::size_t client_latency_blocks = 6;
    std::uint32_t announce_period_ms = 1000;
    std::uint32_t discovery_timeout_ms = 500;
    bool discovery_broadcast = true;
    std::uint32_t recv_buffer_bytes = 1048576;
    std::uint32_t send_buffer_bytes = 1048576;
    std::uint32_t udp_payload_bytes = 1200;
    std::size_t input_queue_target_blocks = 2;
    std::size_t input_queue_max_blocks = 10;
    std::uint32_t input_latency_blocks = 6;
    std::uint32_t output_latency_blocks = 6;
    // Server device input channels fed by this client's captured channels, in capture order.
    std::vector<std::int64_t> driver_inputs{2, 3};
    // Server device output channels this client plays, in playback order.
    std::vector<std::int64_t> driver_outputs{0, 1};
    // Required; "auto" asks for discovery.
    std::string server_ip;
};

} // namespace VelmoraProtocol
