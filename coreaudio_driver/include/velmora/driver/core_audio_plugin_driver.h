// The virtual device's driver: every operation of the AudioServerPlugIn driver interface, over the
// device runtime (IO thread <-> network thread), the shared debug record and the network server.
//
// The host calls through the function table that `driver_ref()` leads to, as a COM object:
//   control threads  Initialize, client add/remove, properties, configuration changes, StartIO,
//                    StopIO (serialised here by one control mutex; they may block and log)
//   IO thread        GetZeroTimeStamp, WillDoIOOperation, Begin/Do/EndIOOperation (lock-free,
//                    allocation-free, no logging, no system call but reading the host clock)
//
// Life of the device: constructed -> Initialize (host stored, everything reset) -> first
// AddDeviceClient (configuration read, debug record created, network server started) ->
// StartIO / IO cycles / StopIO any number of times -> last RemoveDeviceClient (server stopped,
// record removed, runtime reset) -> possibly attached again (configuration read again).
// A rate or buffer size change goes through the host's configuration-change request and takes
// effect in PerformDeviceConfigurationChange, while the host has IO stopped.
//
// Host clients are counted; the network server runs exactly while at least one is attached. An
// attach that cannot start the server fails with kAudioHardwareIllegalOperationError and leaves
// the count as it found it, so the next attach tries again; the device stays published and IO
// runs with silent input.
#pragma once

#include <velmora/driver/plugin_network_server.h>
#include <velmora/driver/plugin_object_model.h>

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreAudio/HostTime.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace VelmoraMac {

class CoreAudioDebugSharedState;
class CoreAudioHalRuntime;

class CoreAudioPlugInDriver {
public:
    // Reads the host clock in ticks; AudioGetCurrentHostTime unless a test steps its own.
    using HostClock = UInt64 (*)();

    // The driver keeps references to its collaborators, which must outlive it. Allocates the
    // IO thread's conversion buffers. Control thread.
    CoreAudioPlugInDriver(CoreAudioHalRuntime& runtime, CoreAudioDebugSharedState& debug_state,
                          PlugInNetworkServer& network_server, HostClock host_clock = &AudioGetCurrentHostTime);
    ~CoreAudioPlugInDriver();
    CoreAudioPlugInDriver(const CoreAudioPlugInDriver&) = delete;
    CoreAudioPlugInDriver& operator=(const CoreAudioPlugInDriver&) = delete;

    // What the factory and QueryInterface hand out: a pointer to this driver's pointer to the
    // function table. Valid for the driver's life.
    AudioServerPlugInDriverRef driver_ref();
    // The driver a reference from `driver_ref` belongs to; null for null.
    static CoreAudioPlugInDriver* from_ref(const void* driver_ref);

    // The state the host can see, for tests and the plug-in's own checks. Any thread.
    UInt32 device_client_count() const { return device_client_count_.load(std::memory_order_acquire); }
    UInt32 running_client_count() const { return running_client_count_.load(std::memory_order_acquire); }
    UInt32 nominal_sample_rate() const { return nominal_sample_rate_.load(std::memory_order_relaxed); }
    UInt32 buffer_frame_size() const { return buffer_frame_size_.load(std::memory_order_relaxed); }

    // The operations of the function table, in its order.
    HRESULT query_interface(REFIID uuid, LPVOID* out_interface);
    OSStatus initialize(AudioServerPlugInHostRef host);
    OSStatus add_device_client(AudioObjectID device, const AudioServerPlugInClientInfo* client);
    OSStatus remove_device_client(AudioObjectID device, const AudioServerPlugInClientInfo* client);
    OSStatus perform_device_configuration_change(AudioObjectID device, UInt64 action, void* info);
    Boolean has_property(AudioObjectID object, const AudioObjectPropertyAddress* address);
    OSStatus is_property_settable(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                  Boolean* out_settable);
    OSStatus get_property_data_size(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifier_size, const void* qualifier, UInt32* out_size);
    OSStatus get_property_data(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifier_size,
                               const void* qualifier, UInt32 data_size, UInt32* out_size, void* out_data);
    OSStatus set_property_data(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifier_size,
                               const void* qualifier, UInt32 data_size, const void* data);
    OSStatus start_io(AudioObjectID device);
    OSStatus stop_io(AudioObjectID device);
    OSStatus get_zero_time_stamp(AudioObjectID device, Float64* out_sample_time, UInt64* out_host_time,
                                 UInt64* out_seed);
    OSStatus will_do_io_operation(AudioObjectID device, UInt32 operation, Boolean* out_will_do,
                                  Boolean* out_in_place);
    OSStatus begin_io_operation(AudioObjectID device, UInt32 operation, UInt32 frames,
                                const AudioServerPlugInIOCycleInfo* cycle);
    OSStatus do_io_operation(AudioObjectID device, AudioObjectID stream, UInt32 operation, UInt32 frames,
                             const AudioServerPlugInIOCycleInfo* cycle, void* main_buffer);
    OSStatus end_io_operation(AudioObjectID device, UInt32 operation, UInt32 frames,
                              const AudioServerPlugInIOCycleInfo* cycle);

private:
    // Standard layout, so that the reference handed to the host (the address of `table`) is also
    // the address of the handle.
    struct Handle {
        AudioServerPlugInDriverInterface* table;
        CoreAudioPlugInDriver* owner;
    };

    OSStatus start_network_server_locked();
    void stop_network_server_locked();
    DevicePropertyState property_state(AudioObjectID object, const AudioObjectPropertyAddress& address);
    OSStatus request_configuration_change(UInt64 action, UInt32 value);

    CoreAudioHalRuntime& runtime_;
    CoreAudioDebugSharedState& debug_state_;
    PlugInNetworkServer& network_server_;
    HostClock host_clock_;
    Handle handle_;

    std::mutex control_mutex_;
    std::atomic<AudioServerPlugInHostRef> host_{nullptr};
    std::atomic<UInt32> device_client_count_{0};
    std::atomic<UInt32> running_client_count_{0};
    // Written on control threads, read on the IO thread.
    std::atomic<UInt32> buffer_frame_size_{kDefaultBufferFrameSize};
    std::atomic<UInt32> nominal_sample_rate_{kDefaultNominalSampleRate};
    std::atomic<UInt64> clock_seed_{1};
    std::atomic<UInt64> io_start_host_time_{0};
    // IO thread: an output block was published in the current cycle.
    std::atomic<bool> cycle_has_output_{false};
    // Planar conversion buffers of the IO thread, 32 x 4096 samples each.
    std::unique_ptr<float[]> output_planar_;
    std::unique_ptr<float[]> input_planar_;
};

} // namespace VelmoraMac
