#include <velmora/driver/network_server_control.h>

namespace VelmoraMac {

bool CoreAudioNetworkServerControl::start(CoreAudioHalRuntime& runtime, const PlugInNetworkSettings& settings,
                                          CoreAudioDebugSharedState* debug_state) {
    CoreAudioNetworkServer::Config config;
    config.payload_bytes = settings.payload_bytes;
    config.endpoint.address = settings.bind_address;
    config.endpoint.port = settings.listen_port;
    config.max_packets_per_tick = settings.max_packets_per_tick;
    config.client_timeout_ms = settings.client_timeout_ms;
    config.recv_buffer_bytes = settings.recv_buffer_bytes;
    config.send_buffer_bytes = settings.send_buffer_bytes;
    config.tick_period_us = settings.tick_period_us;
    return server_.start(&runtime, config, debug_state);
}

void CoreAudioNetworkServerControl::stop() { server_.stop(); }

bool CoreAudioNetworkServerControl::is_running() const { return server_.is_running(); }

std::uint64_t CoreAudioNetworkServerControl::latency_summary() { return server_.latency_summary(); }

} // namespace VelmoraMac
