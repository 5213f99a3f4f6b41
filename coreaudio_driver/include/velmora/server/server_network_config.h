// The plug-in's network settings and where they come from.
//
// The file is the lenient INI of the platform layer: case-sensitive names, the first match wins,
// and a missing or malformed value leaves the field as it was. Defaults are set in the record,
// then the file overrides them key by key:
//
//   [network]   bind_address, listen_port, client_timeout_ms
//   [socket]    recv_buffer_bytes, send_buffer_bytes
//   [transport] udp_payload_bytes
//   [qos]       enabled, dscp, traffic_type   (loaded for the settings app; not applied)
//
// Control threads only; loading opens and reads the file.
#pragma once

#include <cstdint>
#include <string>

namespace VelmoraCore {

inline constexpr char kServerConfigEnvironmentVariable[] = "VELMORA_DRIVER_CONFIG";
inline constexpr char kServerSystemConfigPath[] = "/Library/Application Support/Velmora/Velmora.ini";
inline constexpr char kServerConfigFileName[] = "Velmora.ini";
inline constexpr std::uint32_t kDefaultUdpPayloadBytes = 1200;
inline constexpr std::uint32_t kMinUdpPayloadBytes = 52;
inline constexpr std::uint32_t kMaxUdpPayloadBytes = 65507;

struct ServerNetworkConfig {
    std::string bind_address = "127.0.0.1";
    std::uint16_t listen_port = 28010;
    std::uint32_t client_timeout_ms = 5000;
    std::uint32_t recv_buffer_bytes = 1048576;
    std::uint32_t send_buffer_bytes = 1048576;
    std::uint32_t udp_payload_bytes = 1200;
    bool qos_enabled = false;
    std::uint32_t qos_dscp = 46;
    std::string qos_traffic_type = "audio_video";
};

// Reads every key of `path` into `config`, each with the field's current value as the fallback.
// False (and `config` untouched) for a null or empty path; true otherwise, even when the file
// does not exist. A listen port above 65535 becomes 65535.
bool load_server_network_config(const char* path, ServerNetworkConfig& config);

// The file to read: VELMORA_DRIVER_CONFIG when set and not empty (whether or not a file is
// there); else `system_path` when it is readable; else "Velmora.ini" beside the module holding
// `address_in_module`. Empty means no file: the defaults stand.
std::string locate_server_network_config(const void* address_in_module,
                                         const char* system_path = kServerSystemConfigPath);

// The payload limit the pump may use: `bytes` when within 52..65507, else 1200.
std::uint32_t bounded_udp_payload_bytes(std::uint32_t bytes);

// A dotted IPv4 address (inet_pton rules) to a host-order address; false for anything else
// ("localhost", "::1", "1.2.3").
bool parse_ipv4_address(const std::string& text, std::uint32_t& host_order_address);

} // namespace VelmoraCore
