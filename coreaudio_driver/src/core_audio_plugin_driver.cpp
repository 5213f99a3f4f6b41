#include <velmora/driver/core_audio_plugin_driver.h>

#include <velmora/driver/device_clock.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/server/server_network_config.h>

#include <os/log.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace VelmoraMac {
namespace {

constexpr std::size_t kPlanarSamples = static_cast<std::size_t>(kDeviceChannelCount) * kMaxBufferFrameSize;

void log_unknown_property(const char* operation, AudioObjectID object, const AudioObjectPropertyAddress* address) {
    if (address == nullptr) {
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio %{public}s unknown property object=%u address=null", operation,
                     object);
        return;
    }
    os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio %{public}s unknown property object=%u selector=%u scope=%u element=%u",
                 operation, object, address->mSelector, address->mScope, address->mElement);
}

bool is_valid_frame_count(UInt32 frames) { return frames >= 1 && frames <= kMaxBufferFrameSize; }

// The function table: each entry finds its driver through the reference the host passes back.
HRESULT table_query_interface(void* driver, REFIID uuid, LPVOID* out) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    if (self == nullptr) {
        if (out != nullptr) {
            *out = nullptr;
        }
        return E_NOINTERFACE;
    }
    return self->query_interface(uuid, out);
}

// A static object: the host's references do not decide its life.
ULONG table_add_ref(void*) { return 1; }
ULONG table_release(void*) { return 1; }

OSStatus table_initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->initialize(host) : kAudioHardwareBadObjectError;
}

OSStatus table_create_device(AudioServerPlugInDriverRef, CFDictionaryRef, const AudioServerPlugInClientInfo*,
                             AudioObjectID* out_device) {
    if (out_device != nullptr) {
        *out_device = kAudioObjectUnknown;
    }
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus table_destroy_device(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus table_add_device_client(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 const AudioServerPlugInClientInfo* client) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->add_device_client(device, client) : kAudioHardwareBadObjectError;
}

OSStatus table_remove_device_client(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                    const AudioServerPlugInClientInfo* client) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->remove_device_client(device, client) : kAudioHardwareBadObjectError;
}

OSStatus table_perform_configuration_change(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64 action,
                                            void* info) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->perform_device_configuration_change(device, action, info)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_abort_configuration_change(AudioServerPlugInDriverRef, AudioObjectID, UInt64, void*) {
    return kAudioHardwareNoError;
}

Boolean table_has_property(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                           const AudioObjectPropertyAddress* address) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->has_property(object, address) : false;
}

OSStatus table_is_property_settable(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                    const AudioObjectPropertyAddress* address, Boolean* out_settable) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->is_property_settable(object, address, out_settable) : kAudioHardwareBadObjectError;
}

OSStatus table_get_property_data_size(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                      const AudioObjectPropertyAddress* address, UInt32 qualifier_size,
                                      const void* qualifier, UInt32* out_size) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->get_property_data_size(object, address, qualifier_size, qualifier, out_size)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_get_property_data(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                 const AudioObjectPropertyAddress* address, UInt32 qualifier_size,
                                 const void* qualifier, UInt32 data_size, UInt32* out_size, void* out_data) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr
               ? self->get_property_data(object, address, qualifier_size, qualifier, data_size, out_size, out_data)
               : kAudioHardwareBadObjectError;
}

OSStatus table_set_property_data(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                 const AudioObjectPropertyAddress* address, UInt32 qualifier_size,
                                 const void* qualifier, UInt32 data_size, const void* data) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->set_property_data(object, address, qualifier_size, qualifier, data_size, data)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_start_io(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->start_io(device) : kAudioHardwareBadObjectError;
}

OSStatus table_stop_io(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->stop_io(device) : kAudioHardwareBadObjectError;
}

OSStatus table_get_zero_time_stamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                   Float64* out_sample_time, UInt64* out_host_time, UInt64* out_seed) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->get_zero_time_stamp(device, out_sample_time, out_host_time, out_seed)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_will_do_io_operation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                    UInt32 operation, Boolean* out_will_do, Boolean* out_in_place) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->will_do_io_operation(device, operation, out_will_do, out_in_place)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_begin_io_operation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32, UInt32 operation,
                                  UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->begin_io_operation(device, operation, frames, cycle) : kAudioHardwareBadObjectError;
}

OSStatus table_do_io_operation(AudioServerPlugInDriverRef driver, AudioObjectID device, AudioObjectID stream, UInt32,
                               UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle,
                               void* main_buffer, void*) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->do_io_operation(device, stream, operation, frames, cycle, main_buffer)
                           : kAudioHardwareBadObjectError;
}

OSStatus table_end_io_operation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32, UInt32 operation,
                                UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle) {
    CoreAudioPlugInDriver* self = CoreAudioPlugInDriver::from_ref(driver);
    return self != nullptr ? self->end_io_operation(device, operation, frames, cycle) : kAudioHardwareBadObjectError;
}

AudioServerPlugInDriverInterface g_driver_table = {
    nullptr,
    table_query_interface,
    table_add_ref,
    table_release,
    table_initialize,
    table_create_device,
    table_destroy_device,
    table_add_device_client,
    table_remove_device_client,
    table_perform_configuration_change,
    table_abort_configuration_change,
    table_has_property,
    table_is_property_settable,
    table_get_property_data_size,
    table_get_property_data,
    table_set_property_data,
    table_start_io,
    table_stop_io,
    table_get_zero_time_stamp,
    table_will_do_io_operation,
    table_begin_io_operation,
    table_do_io_operation,
    table_end_io_operation,
};

} // namespace

CoreAudioPlugInDriver::CoreAudioPlugInDriver(CoreAudioHalRuntime& runtime, CoreAudioDebugSharedState& debug_state,
                                             PlugInNetworkServer& network_server, HostClock host_clock)
    : runtime_(runtime),
      debug_state_(debug_state),
      network_server_(network_server),
      host_clock_(host_clock != nullptr ? host_clock : &AudioGetCurrentHostTime),
      handle_{&g_driver_table, this},
      output_planar_(new float[kPlanarSamples]()),
      input_planar_(new float[kPlanarSamples]()) {}

CoreAudioPlugInDriver::~CoreAudioPlugInDriver() {
    std::lock_guard<std::mutex> lock(control_mutex_);
    stop_network_server_locked();
}

AudioServerPlugInDriverRef CoreAudioPlugInDriver::driver_ref() { return &handle_.table; }

CoreAudioPlugInDriver* CoreAudioPlugInDriver::from_ref(const void* driver_ref) {
    if (driver_ref == nullptr) {
        return nullptr;
    }
    return static_cast<const Handle*>(driver_ref)->owner;
}

HRESULT CoreAudioPlugInDriver::query_interface(REFIID uuid, LPVOID* out_interface) {
    if (out_interface == nullptr) {
        return E_NOINTERFACE;
    }
    *out_interface = nullptr;
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(nullptr, uuid);
    if (requested == nullptr) {
        return E_NOINTERFACE;
    }
    const bool known = CFEqual(requested, IUnknownUUID) || CFEqual(requested, kAudioServerPlugInDriverInterfaceUUID);
    CFRelease(requested);
    if (!known) {
        return E_NOINTERFACE;
    }
    *out_interface = driver_ref();
    return S_OK;
}

OSStatus CoreAudioPlugInDriver::initialize(AudioServerPlugInHostRef host) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    host_.store(host, std::memory_order_release);
    stop_network_server_locked();
    runtime_.reset();
    buffer_frame_size_.store(kDefaultBufferFrameSize, std::memory_order_relaxed);
    device_client_count_.store(0, std::memory_order_release);
    running_client_count_.store(0, std::memory_order_release);
    io_start_host_time_.store(0, std::memory_order_release);
    cycle_has_output_.store(false, std::memory_order_relaxed);
    return kAudioHardwareNoError;
}

void CoreAudioPlugInDriver::stop_network_server_locked() {
    network_server_.stop();
    runtime_.set_debug_state(nullptr);
    debug_state_.shutdown();
}

OSStatus CoreAudioPlugInDriver::start_network_server_locked() {
    VelmoraCore::ServerNetworkConfig config;
    // Any address inside this module will do: it names the folder holding a fallback file.
    const std::string path = VelmoraCore::locate_server_network_config(reinterpret_cast<const void*>(&log_unknown_property));
    if (!path.empty()) {
        VelmoraCore::load_server_network_config(path.c_str(), config);
    }
    PlugInNetworkSettings settings;
    settings.payload_bytes = VelmoraCore::bounded_udp_payload_bytes(config.udp_payload_bytes);
    settings.listen_port = config.listen_port;
    settings.client_timeout_ms = config.client_timeout_ms;
    settings.recv_buffer_bytes = config.recv_buffer_bytes;
    settings.send_buffer_bytes = config.send_buffer_bytes;
    settings.max_packets_per_tick = 64;
    settings.tick_period_us = 1000;
    if (!VelmoraCore::parse_ipv4_address(config.bind_address, settings.bind_address)) {
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio invalid network bind address: %{public}s",
                     config.bind_address.c_str());
        return kAudioHardwareIllegalOperationError;
    }
    // Statistics are optional: a record that cannot be made leaves every setter a no-op.
    debug_state_.initialize();
    runtime_.set_debug_state(&debug_state_);
    if (!network_server_.start(runtime_, settings, &debug_state_)) {
        runtime_.set_debug_state(nullptr);
        debug_state_.shutdown();
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio failed to start UDP network server on %{public}s:%u",
                     config.bind_address.c_str(), static_cast<unsigned>(config.listen_port));
        return kAudioHardwareIllegalOperationError;
    }
    os_log_info(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP network server started on %{public}s:%u",
                config.bind_address.c_str(), static_cast<unsigned>(config.listen_port));
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::add_device_client(AudioObjectID device, const AudioServerPlugInClientInfo*) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    // One attach or detach at a time: a client that attaches while another's attach is still
    // starting the server waits for its outcome instead of counting on a server that may fail.
    std::lock_guard<std::mutex> lock(control_mutex_);
    device_client_count_.fetch_add(1, std::memory_order_acq_rel);
    if (network_server_.is_running()) {
        return kAudioHardwareNoError;
    }
    const OSStatus status = start_network_server_locked();
    if (status != kAudioHardwareNoError) {
        // Only this call's own count goes; clients attached before it stay counted.
        device_client_count_.fetch_sub(1, std::memory_order_acq_rel);
    }
    return status;
}

OSStatus CoreAudioPlugInDriver::remove_device_client(AudioObjectID device, const AudioServerPlugInClientInfo*) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    std::lock_guard<std::mutex> lock(control_mutex_);
    UInt32 count = device_client_count_.load(std::memory_order_acquire);
    while (count != 0 && !device_client_count_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    // A detach with nobody attached changes nothing; only the last real detach stops the server.
    if (count == 1) {
        stop_network_server_locked();
        runtime_.reset();
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::perform_device_configuration_change(AudioObjectID device, UInt64 action, void* info) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareUnsupportedOperationError;
    }
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(info));
    std::lock_guard<std::mutex> lock(control_mutex_);
    switch (action) {
    case kChangeActionNominalSampleRate:
        if (!is_supported_sample_rate(static_cast<double>(value))) {
            return kAudioHardwareIllegalOperationError;
        }
        nominal_sample_rate_.store(static_cast<UInt32>(value), std::memory_order_relaxed);
        return kAudioHardwareNoError;
    case kChangeActionBufferFrameSize:
        if (!is_supported_buffer_frame_size(value)) {
            return kAudioHardwareIllegalOperationError;
        }
        buffer_frame_size_.store(static_cast<UInt32>(value), std::memory_order_relaxed);
        return kAudioHardwareNoError;
    default:
        return kAudioHardwareUnsupportedOperationError;
    }
}

Boolean CoreAudioPlugInDriver::has_property(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    if (!has_plugin_property(object, address)) {
        log_unknown_property("HasProperty", object, address);
        return false;
    }
    return true;
}

OSStatus CoreAudioPlugInDriver::is_property_settable(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                     Boolean* out_settable) {
    if (address == nullptr || !has_plugin_property(object, address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (out_settable == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    *out_settable = is_plugin_property_settable(object, *address) ? 1 : 0;
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::get_property_data_size(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                       UInt32, const void*, UInt32* out_size) {
    if (address == nullptr) {
        log_unknown_property("GetPropertyDataSize", object, address);
        return kAudioHardwareUnknownPropertyError;
    }
    if (out_size == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const OSStatus status = get_plugin_property_data_size(object, *address, *out_size);
    if (status == kAudioHardwareUnknownPropertyError) {
        log_unknown_property("GetPropertyDataSize", object, address);
    }
    return status;
}

DevicePropertyState CoreAudioPlugInDriver::property_state(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address) {
    DevicePropertyState state;
    state.nominal_sample_rate = nominal_sample_rate_.load(std::memory_order_relaxed);
    state.buffer_frame_size = buffer_frame_size_.load(std::memory_order_relaxed);
    state.io_running = running_client_count_.load(std::memory_order_acquire) > 0;
    // Only the latency asks the network server (which takes its lock).
    if (object == kDeviceObjectID && address.mSelector == kAudioDevicePropertyLatency) {
        const std::uint64_t summary = network_server_.latency_summary();
        state.input_latency_blocks = static_cast<UInt32>(summary & 0xFFFFFFFFu);
        state.output_latency_blocks = static_cast<UInt32>(summary >> 32);
    }
    return state;
}

OSStatus CoreAudioPlugInDriver::get_property_data(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                  UInt32 qualifier_size, const void* qualifier, UInt32 data_size,
                                                  UInt32* out_size, void* out_data) {
    if (address == nullptr) {
        log_unknown_property("GetPropertyData", object, address);
        return kAudioHardwareUnknownPropertyError;
    }
    if (out_size == nullptr || out_data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const OSStatus status = get_plugin_property_data(object, *address, qualifier_size, qualifier, data_size, *out_size,
                                                     out_data, property_state(object, *address));
    if (status == kAudioHardwareUnknownPropertyError) {
        log_unknown_property("GetPropertyData", object, address);
    }
    return status;
}

OSStatus CoreAudioPlugInDriver::request_configuration_change(UInt64 action, UInt32 value) {
    AudioServerPlugInHostRef host = host_.load(std::memory_order_acquire);
    if (host == nullptr || host->RequestDeviceConfigurationChange == nullptr) {
        std::atomic<UInt32>& target =
            action == kChangeActionNominalSampleRate ? nominal_sample_rate_ : buffer_frame_size_;
        target.store(value, std::memory_order_relaxed);
        return kAudioHardwareNoError;
    }
    // The value travels in the pointer, as the change's info, back to
    // PerformDeviceConfigurationChange.
    return host->RequestDeviceConfigurationChange(host, kDeviceObjectID, action,
                                                  reinterpret_cast<void*>(static_cast<std::uintptr_t>(value)));
}

OSStatus CoreAudioPlugInDriver::set_property_data(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                  UInt32, const void*, UInt32 data_size, const void* data) {
    if (address == nullptr || !has_plugin_property(object, address)) {
        log_unknown_property("SetPropertyData", object, address);
        return kAudioHardwareUnknownPropertyError;
    }
    if (!is_plugin_property_settable(object, *address)) {
        return kAudioHardwareUnsupportedOperationError;
    }
    if (address->mSelector == kAudioDevicePropertyNominalSampleRate) {
        Float64 rate = 0;
        if (data == nullptr || data_size != sizeof rate) {
            return kAudioHardwareIllegalOperationError;
        }
        std::memcpy(&rate, data, sizeof rate);
        if (!is_supported_sample_rate(rate)) {
            return kAudioHardwareIllegalOperationError;
        }
        // Asking the host for a change it need not make would stop and restart IO for nothing.
        if (static_cast<UInt32>(rate) == nominal_sample_rate_.load(std::memory_order_relaxed)) {
            return kAudioHardwareNoError;
        }
        return request_configuration_change(kChangeActionNominalSampleRate, static_cast<UInt32>(rate));
    }
    UInt32 frames = 0;
    if (data == nullptr || data_size != sizeof frames) {
        return kAudioHardwareIllegalOperationError;
    }
    std::memcpy(&frames, data, sizeof frames);
    if (!is_supported_buffer_frame_size(frames)) {
        return kAudioHardwareIllegalOperationError;
    }
    if (frames == buffer_frame_size_.load(std::memory_order_relaxed)) {
        return kAudioHardwareNoError;
    }
    return request_configuration_change(kChangeActionBufferFrameSize, frames);
}

OSStatus CoreAudioPlugInDriver::start_io(AudioObjectID device) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (running_client_count_.fetch_add(1, std::memory_order_acq_rel) == 0) {
        runtime_.restart_sample_position();
        cycle_has_output_.store(false, std::memory_order_relaxed);
        clock_seed_.fetch_add(1, std::memory_order_acq_rel);
        io_start_host_time_.store(host_clock_(), std::memory_order_release);
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::stop_io(AudioObjectID device) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    std::lock_guard<std::mutex> lock(control_mutex_);
    UInt32 count = running_client_count_.load(std::memory_order_acquire);
    while (count != 0 && !running_client_count_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    // Only the last real stop halts the clock; a stop nobody started changes nothing.
    if (count == 1) {
        io_start_host_time_.store(0, std::memory_order_release);
        cycle_has_output_.store(false, std::memory_order_relaxed);
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::get_zero_time_stamp(AudioObjectID device, Float64* out_sample_time,
                                                    UInt64* out_host_time, UInt64* out_seed) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    const UInt64 anchor = io_start_host_time_.load(std::memory_order_acquire);
    const ZeroTimeStamp stamp = compute_zero_time_stamp(anchor, host_clock_(),
                                                        nominal_sample_rate_.load(std::memory_order_relaxed),
                                                        kZeroTimeStampPeriodFrames);
    if (out_sample_time != nullptr) {
        *out_sample_time = stamp.sample_time;
    }
    if (out_host_time != nullptr) {
        *out_host_time = stamp.host_time;
    }
    if (out_seed != nullptr) {
        *out_seed = clock_seed_.load(std::memory_order_acquire);
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::will_do_io_operation(AudioObjectID device, UInt32 operation, Boolean* out_will_do,
                                                     Boolean* out_in_place) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    const bool will_do = operation == kAudioServerPlugInIOOperationReadInput ||
                         operation == kAudioServerPlugInIOOperationWriteMix ||
                         operation == kAudioServerPlugInIOOperationCycle;
    if (out_will_do != nullptr) {
        *out_will_do = will_do ? 1 : 0;
    }
    if (out_in_place != nullptr) {
        *out_in_place = 1;
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::begin_io_operation(AudioObjectID device, UInt32 operation, UInt32,
                                                   const AudioServerPlugInIOCycleInfo*) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    if (operation == kAudioServerPlugInIOOperationCycle) {
        cycle_has_output_.store(false, std::memory_order_relaxed);
    }
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::do_io_operation(AudioObjectID device, AudioObjectID stream, UInt32 operation,
                                                UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle,
                                                void* main_buffer) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    if (operation == kAudioServerPlugInIOOperationCycle) {
        return kAudioHardwareNoError;
    }
    if (stream != kInputStreamObjectID && stream != kOutputStreamObjectID) {
        return kAudioHardwareBadStreamError;
    }
    const bool read_input = operation == kAudioServerPlugInIOOperationReadInput && stream == kInputStreamObjectID;
    const bool write_mix = operation == kAudioServerPlugInIOOperationWriteMix && stream == kOutputStreamObjectID;
    if (!read_input && !write_mix) {
        return kAudioHardwareUnsupportedOperationError;
    }
    auto* interleaved = static_cast<float*>(main_buffer);
    if (!is_valid_frame_count(frames)) {
        // The host sized its buffer for the frames it names; leave it silent rather than stale.
        if (read_input && interleaved != nullptr) {
            std::memset(interleaved, 0, static_cast<std::size_t>(frames) * kDeviceChannelCount * sizeof(float));
        }
        return kAudioHardwareBadPropertySizeError;
    }
    const UInt32 rate = nominal_sample_rate_.load(std::memory_order_relaxed);
    if (read_input) {
        if (interleaved == nullptr) {
            return kAudioHardwareNoError;
        }
        const float* planar = input_planar_.get();
        runtime_.read_prepared_input_block(input_planar_.get(), frames, rate);
        for (UInt32 frame = 0; frame < frames; ++frame) {
            float* out = interleaved + static_cast<std::size_t>(frame) * kDeviceChannelCount;
            for (UInt32 channel = 0; channel < kDeviceChannelCount; ++channel) {
                out[channel] = planar[static_cast<std::size_t>(channel) * frames + frame];
            }
        }
        return kAudioHardwareNoError;
    }
    float* planar = output_planar_.get();
    if (interleaved == nullptr) {
        std::memset(planar, 0, static_cast<std::size_t>(frames) * kDeviceChannelCount * sizeof(float));
    } else {
        for (UInt32 frame = 0; frame < frames; ++frame) {
            const float* in = interleaved + static_cast<std::size_t>(frame) * kDeviceChannelCount;
            for (UInt32 channel = 0; channel < kDeviceChannelCount; ++channel) {
                planar[static_cast<std::size_t>(channel) * frames + frame] = in[channel];
            }
        }
    }
    cycle_has_output_.store(true, std::memory_order_relaxed);
    runtime_.publish_output_block(planar, frames, rate, block_host_time_ns(cycle, host_clock_()));
    return kAudioHardwareNoError;
}

OSStatus CoreAudioPlugInDriver::end_io_operation(AudioObjectID device, UInt32 operation, UInt32 frames,
                                                 const AudioServerPlugInIOCycleInfo* cycle) {
    if (device != kDeviceObjectID) {
        return kAudioHardwareBadDeviceError;
    }
    // Clients follow the device's clock through the output blocks: a cycle nobody played into
    // still sends one, silent.
    if (operation == kAudioServerPlugInIOOperationCycle && !cycle_has_output_.load(std::memory_order_relaxed)) {
        runtime_.publish_output_block(nullptr, frames, nominal_sample_rate_.load(std::memory_order_relaxed),
                                      block_host_time_ns(cycle, host_clock_()));
    }
    return kAudioHardwareNoError;
}

} // namespace VelmoraMac
