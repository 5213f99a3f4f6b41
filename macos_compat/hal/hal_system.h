// The simulated HAL as one process sees it: the system object, the devices, the property
// listeners and the notification thread that calls them. One instance per process, made on
// first use (devices from VELMORA_HAL_DEVICES or the built-in set) and never destroyed.
//
// Locks: mutex_ guards the device table, the defaults and the listener table; it is never held
// while a device's IO lock is taken or while a listener or IO procedure runs. Listener calls
// happen only on the notification thread.
#pragma once

#include "hal_device.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace VelmoraCompat::Hal {

class HalSystem {
public:
    static HalSystem& instance();

    // The HAL functions, argument checks done by the caller (hal_api.cpp). Any thread.
    Boolean has_property(AudioObjectID object, const AudioObjectPropertyAddress& address);
    OSStatus is_settable(AudioObjectID object, const AudioObjectPropertyAddress& address, Boolean* settable);
    OSStatus get_size(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifier_size, const void* qualifier,
                      UInt32* size);
    OSStatus get_data(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifier_size, const void* qualifier,
                      UInt32* size, void* data);
    OSStatus set_data(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 size, const void* data, bool external);
    OSStatus add_listener(AudioObjectID object, const AudioObjectPropertyAddress& address, AudioObjectPropertyListenerProc proc, void* data);
    OSStatus remove_listener(AudioObjectID object, const AudioObjectPropertyAddress& address, AudioObjectPropertyListenerProc proc,
                             void* data);
    // The device behind an ID: kAudioHardwareBadObjectError for unknown IDs,
    // kAudioHardwareBadDeviceError for objects that are not devices.
    OSStatus find_device(AudioObjectID id, std::shared_ptr<HalDevice>* device);
    // After an IO procedure call changed whether the device runs.
    void announce_running(AudioObjectID device);

    // Test control.
    void reset(const std::vector<DeviceDescription>& devices);
    AudioObjectID add_device(const DeviceDescription& description, std::string* error);
    bool remove_device(AudioObjectID id);
    bool kill_device(AudioObjectID id);
    AudioObjectID device_with_uid(const std::string& uid);
    bool set_running_elsewhere(AudioObjectID id, bool running);
    bool refuse(AudioObjectID id, const Float64* rate, const UInt32* frames);
    bool set_polls(AudioObjectID id, UInt32 rate_polls, UInt32 buffer_polls);

    HalSystem(const HalSystem&) = delete;
    HalSystem& operator=(const HalSystem&) = delete;

private:
    HalSystem();

    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc;
        void* data;
        UInt64 serial;
    };

    std::shared_ptr<HalDevice> owner_of_locked(AudioObjectID object) const;
    OSStatus read_locked(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifier_size, const void* qualifier,
                         bool is_fetch, PropertyAnswer* answer, std::vector<PropertyChange>* changes);
    OSStatus read_system_locked(const AudioObjectPropertyAddress& address, UInt32 qualifier_size, const void* qualifier, PropertyAnswer* answer);
    OSStatus write_system_locked(const AudioObjectPropertyAddress& address, UInt32 size, const void* data, std::vector<PropertyChange>* changes);
    AudioObjectID pick_default_locked(bool input) const;
    void refresh_defaults_locked(std::vector<PropertyChange>* changes);
    bool usable_default_locked(AudioObjectID id, bool input) const;
    std::shared_ptr<HalDevice> make_device_locked(const DeviceDescription& description, std::string* error);

    void notify(std::vector<PropertyChange> changes);
    void notification_thread();

    std::mutex mutex_;
    std::vector<std::shared_ptr<HalDevice>> devices_;
    AudioObjectID next_id_ = 40;
    AudioObjectID default_output_ = kAudioObjectUnknown;
    AudioObjectID default_input_ = kAudioObjectUnknown;
    AudioObjectID default_system_output_ = kAudioObjectUnknown;
    std::vector<Listener> listeners_;
    UInt64 next_listener_serial_ = 1;
    UInt64 calling_serial_ = 0;  // the listener being called now, 0 for none
    std::condition_variable call_finished_;

    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::deque<std::vector<PropertyChange>> queue_;
    std::thread notifier_;
    std::atomic<std::thread::id> notifier_id_{};
};

} // namespace VelmoraCompat::Hal
