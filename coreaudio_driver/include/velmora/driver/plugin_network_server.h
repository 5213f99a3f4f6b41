// What the plug-in driver needs of its network server: start it for the first host client, stop
// it after the last, and ask it for the clients' announced latencies. The plug-in's own server is
// CoreAudioNetworkServer behind `CoreAudioNetworkServerControl`; tests put their own behind it.
//
// Control threads only (the driver calls these under its control mutex); they may block.
#pragma once

#include <cstdint>

namespace VelmoraMac {

class CoreAudioDebugSharedState;
class CoreAudioHalRuntime;

// The network server's settings, as the driver builds them from the configuration file.
struct PlugInNetworkSettings {
    std::uint32_t payload_bytes = 1200;
    std::uint32_t bind_address = 0; // IPv4, host byte order
    std::uint16_t listen_port = 0;
    std::uint32_t max_packets_per_tick = 64;
    std::uint32_t client_timeout_ms = 5000;
    std::uint32_t recv_buffer_bytes = 1048576;
    std::uint32_t send_buffer_bytes = 1048576;
    std::uint32_t tick_period_us = 1000;
};

class PlugInNetworkServer {
public:
    virtual ~PlugInNetworkServer() = default;

    // Opens the socket and starts the network thread over `runtime`, publishing into `debug_state`
    // (may be null). False when the socket or the thread cannot be made; nothing runs then.
    virtual bool start(CoreAudioHalRuntime& runtime, const PlugInNetworkSettings& settings,
                       CoreAudioDebugSharedState* debug_state) = 0;
    // Joins the network thread and closes the socket; nothing after it touches the runtime.
    virtual void stop() = 0;
    virtual bool is_running() const = 0;
    // The largest announced input latency in blocks in the low 32 bits, the largest output
    // latency in the high 32 bits; 0 with no clients or while stopped.
    virtual std::uint64_t latency_summary() = 0;
};

} // namespace VelmoraMac
