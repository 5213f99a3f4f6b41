#include <velmora/server/server_network_config.h>

#include <velmora/platform/environment.h>
#include <velmora/platform/ini_file.h>
#include <velmora/platform/module_paths.h>

#include <algorithm>

#include <arpa/inet.h>
#include <unistd.h>

namespace VelmoraCore {

bool load_server_network_config(const char* path, ServerNetworkConfig& config) {
    using VelmoraPlatform::read_ini_string;
    using VelmoraPlatform::read_ini_uint32;
    if (path == nullptr || *path == '\0') {
        return false;
    }
    config.bind_address = read_ini_string(path, "network", "bind_address", config.bind_address.c_str());
    // Capped rather than truncated: 70000 must not quietly become port 4464.
    const std::uint32_t port = read_ini_uint32(path, "network", "listen_port", config.listen_port);
    config.listen_port = static_cast<std::uint16_t>(std::min<std::uint32_t>(port, 65535));
    config.client_timeout_ms = read_ini_uint32(path, "network", "client_timeout_ms", config.client_timeout_ms);
    config.recv_buffer_bytes = read_ini_uint32(path, "socket", "recv_buffer_bytes", config.recv_buffer_bytes);
    config.send_buffer_bytes = read_ini_uint32(path, "socket", "send_buffer_bytes", config.send_buffer_bytes);
    config.udp_payload_bytes = read_ini_uint32(path, "transport", "udp_payload_bytes", config.udp_payload_bytes);
    config.qos_enabled = read_ini_uint32(path, "qos", "enabled", config.qos_enabled ? 1U : 0U) != 0;
    config.qos_dscp = read_ini_uint32(path, "qos", "dscp", config.qos_dscp);
    config.qos_traffic_type = read_ini_string(path, "qos", "traffic_type", config.qos_traffic_type.c_str());
    return true;
}

std::string locate_server_network_config(const void* address_in_module, const char* system_path) {
    std::string path = VelmoraPlatform::environment_string(kServerConfigEnvironmentVariable);
    if (!path.empty()) {
        return path;
    }
    if (system_path != nullptr && *system_path != '\0' && ::access(system_path, R_OK) == 0) {
        return system_path;
    }
    return VelmoraPlatform::module_sibling_path(address_in_module, kServerConfigFileName);
}

std::uint32_t bounded_udp_payload_bytes(std::uint32_t bytes) {
    return bytes >= kMinUdpPayloadBytes && bytes <= kMaxUdpPayloadBytes ? bytes : kDefaultUdpPayloadBytes;
}

bool parse_ipv4_address(const std::string& text, std::uint32_t& host_order_address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return false;
    }
    host_order_address = ntohl(parsed.s_addr);
    return true;
}

} // namespace VelmoraCore
