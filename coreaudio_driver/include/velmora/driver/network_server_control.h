// The plug-in's own network server behind the driver's interface: settings become the server's
// Config, and the server's accessors stay reachable for the plug-in's tests.
//
// Control threads only, as the interface says.
#pragma once

#include <velmora/driver/plugin_network_server.h>
#include <velmora/server/core_audio_network_server.h>

namespace VelmoraMac {

class CoreAudioNetworkServerControl final : public PlugInNetworkServer {
public:
    bool start(CoreAudioHalRuntime& runtime, const PlugInNetworkSettings& settings,
               CoreAudioDebugSharedState* debug_state) override;
    void stop() override;
    bool is_running() const override;
    std::uint64_t latency_summary() override;

    CoreAudioNetworkServer& server() { return server_; }

private:
    CoreAudioNetworkServer server_;
};

} // namespace VelmoraMac
