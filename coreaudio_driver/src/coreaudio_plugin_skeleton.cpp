// The VelmoraCoreAudio bundle's entry point: the objects that live as long as the loaded bundle,
// and the factory the audio server finds through the bundle's Info.plist.
#include <velmora/driver/core_audio_plugin_driver.h>
#include <velmora/driver/network_server_control.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CFPlugIn.h>

namespace {

// Constructed when the bundle loads and destroyed, in reverse order, when it unloads: the
// driver first (stopping the network server), then what it uses.
VelmoraMac::CoreAudioHalRuntime g_runtime;
VelmoraMac::CoreAudioDebugSharedState g_debug_state;
VelmoraMac::CoreAudioNetworkServerControl g_network_server;
VelmoraMac::CoreAudioPlugInDriver g_driver(g_runtime, g_debug_state, g_network_server);

} // namespace

// Named in the bundle's Info.plist (CFPlugInFactories); the only symbol the bundle exports.
extern "C" __attribute__((visibility("default"))) void* AudioServerPlugInFactory(CFAllocatorRef,
                                                                                 CFUUIDRef requested_type) {
    if (requested_type == nullptr || !CFEqual(requested_type, kAudioServerPlugInTypeUUID)) {
        return nullptr;
    }
    return g_driver.driver_ref();
}
