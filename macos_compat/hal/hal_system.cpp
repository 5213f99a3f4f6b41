#include "hal_system.h"

#include <CoreFoundation/CoreFoundation.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace VelmoraCompat::Hal {

namespace {

// A listener hears a change when its address covers the changed one (wildcards included).
bool covers(const AudioObjectPropertyAddress& listened, const AudioObjectPropertyAddress& changed) {
    return (listened.mSelector == kAudioObjectPropertySelectorWildcard ||
            listened.mSelector == changed.mSelector) &&
           (listened.mScope == kAudioObjectPropertyScopeWildcard || listened.mScope == changed.mScope) &&
           (listened.mElement == kAudioObjectPropertyElementWildcard ||
            listened.mElement == changed.mElement);
}

bool same_address(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

std::vector<DeviceDescription> initial_devices() {
    const char* path = std::getenv("VELMORA_HAL_DEVICES");
    if (path == nullptr || *path == '\0') {
        return default_devices();
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<DeviceDescription> devices;
    std::string error;
    if (!in) {
        error = "cannot read the file";
    } else {
        std::ostringstream text;
        text << in.rdbuf();
        if (parse_device_file(text.str(), &devices, &error)) {
            return devices;
        }
    }
    std::fprintf(stderr, "velmora HAL: VELMORA_HAL_DEVICES=%s: %s; using the built-in devices\n", path,
                 error.c_str());
    return default_devices();
}

} // namespace

HalSystem& HalSystem::instance() {
    // Never destroyed: IO and notification threads may still run while the process exits.
    static HalSystem* system = new HalSystem();
    return *system;
}

HalSystem::HalSystem() {
    std::string error;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DeviceDescription& description : initial_devices()) {
        auto device = make_device_locked(description, &error);
        if (device == nullptr) {
            std::fprintf(stderr, "velmora HAL: device \"%s\": %s; left out\n", description.uid.c_str(),
                         error.c_str());
            continue;
        }
        devices_.push_back(std::move(device));
    }
    refresh_defaults_locked(nullptr);
}

std::shared_ptr<HalDevice> HalSystem::make_device_locked(const DeviceDescription& description,
                                                         std::string* error) {
    if (!validate_description(description, error)) {
        return nullptr;
    }
    for (const auto& device : devices_) {
        if (device->uid() == description.uid) {
            *error = "uid \"" + description.uid + "\" is taken";
            return nullptr;
        }
    }
    std::shared_ptr<const VelmoraCompat::WavAudio> wav;
    if (description.input.kind == InputKind::wav_file) {
        auto data = std::make_shared<VelmoraCompat::WavAudio>();
        if (!VelmoraCompat::read_wav_file(description.input.path, *data, *error)) {
            return nullptr;
        }
        wav = std::move(data);
    }
    const AudioObjectID id = next_id_;
    const auto stream_count =
        static_cast<AudioObjectID>(description.input_streams.size() + description.output_streams.size());
    next_id_ += 1 + stream_count;
    return std::make_shared<HalDevice>(id, id + 1, description, std::move(wav));
}

std::shared_ptr<HalDevice> HalSystem::owner_of_locked(AudioObjectID object) const {
    for (const auto& device : devices_) {
        if (device->owns(object)) {
            return device;
        }
    }
    return nullptr;
}

bool HalSystem::usable_default_locked(AudioObjectID id, bool input) const {
    for (const auto& device : devices_) {
        if (device->id() == id) {
            return device->alive() && device->channel_count(input) > 0;
        }
    }
    return false;
}

AudioObjectID HalSystem::pick_default_locked(bool input) const {
    for (const auto& device : devices_) {
        if (device->is_default_candidate(input) && device->alive() && device->channel_count(input) > 0) {
            return device->id();
        }
    }
    for (const auto& device : devices_) {
        if (device->alive() && device->channel_count(input) > 0) {
            return device->id();
        }
    }
    return kAudioObjectUnknown;
}

void HalSystem::refresh_defaults_locked(std::vector<PropertyChange>* changes) {
    struct Slot {
        AudioObjectID* id;
        bool input;
        AudioObjectPropertySelector selector;
    };
    const Slot slots[] = {{&default_output_, false, kAudioHardwarePropertyDefaultOutputDevice},
                          {&default_input_, true, kAudioHardwarePropertyDefaultInputDevice},
                          {&default_system_output_, false, kAudioHardwarePropertyDefaultSystemOutputDevice}};
    for (const Slot& slot : slots) {
        if (usable_default_locked(*slot.id, slot.input)) {
            continue;
        }
        const AudioObjectID chosen = pick_default_locked(slot.input);
        if (chosen != *slot.id) {
            *slot.id = chosen;
            if (changes != nullptr) {
                changes->push_back({kAudioObjectSystemObject, slot.selector});
            }
        }
    }
}

OSStatus HalSystem::read_system_locked(const AudioObjectPropertyAddress& address, UInt32 qualifier_size,
                                       const void* qualifier, PropertyAnswer* answer) {
    if (!scope_is_known(address.mScope) || !element_is_main(address.mElement)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioSystemObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyOwner:
        *answer = PropertyAnswer::value<AudioObjectID>(kAudioObjectUnknown);
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyDevices: {
        std::vector<AudioObjectID> ids;
        for (const auto& device : devices_) {
            ids.push_back(device->id());
        }
        *answer = PropertyAnswer::list(ids);
        return kAudioHardwareNoError;
    }
    case kAudioHardwarePropertyDefaultOutputDevice:
        *answer = PropertyAnswer::value<AudioObjectID>(default_output_);
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyDefaultInputDevice:
        *answer = PropertyAnswer::value<AudioObjectID>(default_input_);
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
        *answer = PropertyAnswer::value<AudioObjectID>(default_system_output_);
        return kAudioHardwareNoError;
    case kAudioHardwarePropertyTranslateUIDToDevice: {
        AudioObjectID found = kAudioObjectUnknown;
        if (qualifier != nullptr) {
            // The qualifier is a CFStringRef passed by address.
            if (qualifier_size != sizeof(CFStringRef)) {
                return kAudioHardwareBadPropertySizeError;
            }
            CFStringRef uid = nullptr;
            std::memcpy(&uid, qualifier, sizeof uid);
            if (uid == nullptr) {
                return kAudioHardwareIllegalOperationError;
            }
            std::vector<char> text(static_cast<std::size_t>(CFStringGetMaximumSizeForEncoding(
                                       CFStringGetLength(uid), kCFStringEncodingUTF8)) +
                                   1);
            if (CFStringGetCString(uid, text.data(), static_cast<CFIndex>(text.size()),
                                   kCFStringEncodingUTF8)) {
                for (const auto& device : devices_) {
                    if (device->uid() == text.data()) {
                        found = device->id();
                    }
                }
            }
        }
        *answer = PropertyAnswer::value<AudioObjectID>(found);
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus HalSystem::read_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                UInt32 qualifier_size, const void* qualifier, bool is_fetch,
                                PropertyAnswer* answer, std::vector<PropertyChange>* changes) {
    if (object == kAudioObjectSystemObject) {
        return read_system_locked(address, qualifier_size, qualifier, answer);
    }
    auto device = owner_of_locked(object);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return device->read_property_locked(object, address, is_fetch, answer, changes);
}

Boolean HalSystem::has_property(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (object == kAudioObjectSystemObject) {
        PropertyAnswer answer;
        // The translation needs a qualifier to answer, but the property exists without one.
        return read_system_locked(address, 0, nullptr, &answer) == kAudioHardwareNoError;
    }
    auto device = owner_of_locked(object);
    return device != nullptr && device->has_property_locked(object, address);
}

OSStatus HalSystem::is_settable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                Boolean* settable) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (object == kAudioObjectSystemObject) {
        PropertyAnswer answer;
        const OSStatus status = read_system_locked(address, 0, nullptr, &answer);
        if (status != kAudioHardwareNoError) {
            return status;
        }
        *settable = address.mSelector == kAudioHardwarePropertyDefaultOutputDevice ||
                    address.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
                    address.mSelector == kAudioHardwarePropertyDefaultSystemOutputDevice;
        return kAudioHardwareNoError;
    }
    auto device = owner_of_locked(object);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return device->is_settable_locked(object, address, settable);
}

OSStatus HalSystem::get_size(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifier_size, const void* qualifier, UInt32* size) {
    std::lock_guard<std::mutex> lock(mutex_);
    PropertyAnswer answer;
    const OSStatus status = read_locked(object, address, qualifier_size, qualifier, false, &answer, nullptr);
    if (status == kAudioHardwareNoError) {
        *size = answer.size();
    }
    return status;
}

OSStatus HalSystem::get_data(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifier_size, const void* qualifier, UInt32* size, void* data) {
    std::vector<PropertyChange> changes;
    PropertyAnswer answer;
    OSStatus status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status = read_locked(object, address, qualifier_size, qualifier, true, &answer, &changes);
    }
    notify(std::move(changes));
    if (status != kAudioHardwareNoError) {
        return status;
    }
    switch (answer.kind) {
    case PropertyAnswer::Kind::fixed:
        if (*size < answer.bytes.size()) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(data, answer.bytes.data(), answer.bytes.size());
        *size = static_cast<UInt32>(answer.bytes.size());
        return kAudioHardwareNoError;
    case PropertyAnswer::Kind::array: {
        // As many whole elements as fit, the way the HAL answers a list that grew meanwhile.
        const std::size_t count =
            std::min<std::size_t>(*size / answer.element_size, answer.bytes.size() / answer.element_size);
        if (count > 0) {
            std::memcpy(data, answer.bytes.data(), count * answer.element_size);
        }
        *size = static_cast<UInt32>(count * answer.element_size);
        return kAudioHardwareNoError;
    }
    case PropertyAnswer::Kind::string: {
        if (*size < sizeof(CFStringRef)) {
            return kAudioHardwareBadPropertySizeError;
        }
        CFStringRef string =
            CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(answer.text.data()),
                                    static_cast<CFIndex>(answer.text.size()), kCFStringEncodingUTF8, false);
        if (string == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        std::memcpy(data, &string, sizeof string);
        *size = sizeof(CFStringRef);
        return kAudioHardwareNoError;
    }
    }
    return kAudioHardwareUnspecifiedError;
}

OSStatus HalSystem::write_system_locked(const AudioObjectPropertyAddress& address, UInt32 size,
                                        const void* data, std::vector<PropertyChange>* changes) {
    Boolean settable = false;
    PropertyAnswer answer;
    const OSStatus status = read_system_locked(address, 0, nullptr, &answer);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    AudioObjectID* target = nullptr;
    bool input = false;
    if (address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
        target = &default_output_;
    } else if (address.mSelector == kAudioHardwarePropertyDefaultInputDevice) {
        target = &default_input_;
        input = true;
    } else if (address.mSelector == kAudioHardwarePropertyDefaultSystemOutputDevice) {
        target = &default_system_output_;
    }
    settable = target != nullptr;
    if (!settable) {
        return kAudioHardwareUnsupportedOperationError;
    }
    if (size != sizeof(AudioObjectID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    AudioObjectID id = kAudioObjectUnknown;
    std::memcpy(&id, data, sizeof id);
    if (!usable_default_locked(id, input)) {
        return kAudioHardwareIllegalOperationError;
    }
    if (*target != id) {
        *target = id;
        changes->push_back({kAudioObjectSystemObject, address.mSelector});
    }
    return kAudioHardwareNoError;
}

OSStatus HalSystem::set_data(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 size,
                             const void* data, bool external) {
    std::vector<PropertyChange> changes;
    OSStatus status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (object == kAudioObjectSystemObject) {
            status = write_system_locked(address, size, data, &changes);
        } else {
            auto device = owner_of_locked(object);
            status = device == nullptr
                         ? kAudioHardwareBadObjectError
                         : device->write_property_locked(object, address, size, data, external, &changes);
        }
    }
    notify(std::move(changes));
    return status;
}

OSStatus HalSystem::add_listener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc proc, void* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (object != kAudioObjectSystemObject && owner_of_locked(object) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    for (const Listener& listener : listeners_) {
        if (listener.object == object && same_address(listener.address, address) && listener.proc == proc &&
            listener.data == data) {
            return kAudioHardwareNoError; // registered once, however often it is added
        }
    }
    listeners_.push_back(Listener{object, address, proc, data, next_listener_serial_++});
    return kAudioHardwareNoError;
}

OSStatus HalSystem::remove_listener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc proc, void* data) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
        return l.object == object && same_address(l.address, address) && l.proc == proc && l.data == data;
    });
    if (found == listeners_.end()) {
        // Listeners of a device that went away can still be removed; unknown objects cannot.
        return object != kAudioObjectSystemObject && owner_of_locked(object) == nullptr
                   ? kAudioHardwareBadObjectError
                   : kAudioHardwareNoError;
    }
    const UInt64 serial = found->serial;
    listeners_.erase(found);
    // Once removal returns, the listener is not running and will not run again, so its client
    // data may be freed. From inside a listener call there is nothing to wait for.
    if (std::this_thread::get_id() != notifier_id_) {
        call_finished_.wait(lock, [&] { return calling_serial_ != serial; });
    }
    return kAudioHardwareNoError;
}

void HalSystem::notify(std::vector<PropertyChange> changes) {
    if (changes.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!notifier_.joinable()) {
        notifier_ = std::thread(&HalSystem::notification_thread, this);
        notifier_id_ = notifier_.get_id();
    }
    queue_.push_back(std::move(changes));
    queue_ready_.notify_one();
}

void HalSystem::announce_running(AudioObjectID device) {
    notify({{device, kAudioDevicePropertyDeviceIsRunning},
            {device, kAudioDevicePropertyDeviceIsRunningSomewhere}});
}

void HalSystem::notification_thread() {
    pthread_setname_np(pthread_self(), "velmora-hal-notify");
    while (true) {
        std::vector<PropertyChange> batch;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            queue_ready_.wait(lock, [this] { return !queue_.empty(); });
            batch = std::move(queue_.front());
            queue_.pop_front();
        }
        // One call per listener and object, with every changed address it covers.
        std::vector<AudioObjectID> objects;
        for (const PropertyChange& change : batch) {
            if (std::find(objects.begin(), objects.end(), change.object) == objects.end()) {
                objects.push_back(change.object);
            }
        }
        for (AudioObjectID object : objects) {
            std::vector<AudioObjectPropertyAddress> changed;
            for (const PropertyChange& change : batch) {
                const AudioObjectPropertyAddress address{change.selector, kAudioObjectPropertyScopeGlobal,
                                                         kAudioObjectPropertyElementMain};
                if (change.object == object &&
                    std::none_of(changed.begin(), changed.end(),
                                 [&](const auto& a) { return same_address(a, address); })) {
                    changed.push_back(address);
                }
            }
            std::vector<UInt64> serials;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const Listener& listener : listeners_) {
                    if (listener.object == object) {
                        serials.push_back(listener.serial);
                    }
                }
            }
            for (UInt64 serial : serials) {
                std::unique_lock<std::mutex> lock(mutex_);
                auto found = std::find_if(listeners_.begin(), listeners_.end(),
                                          [&](const Listener& l) { return l.serial == serial; });
                if (found == listeners_.end()) {
                    continue; // removed meanwhile
                }
                const Listener listener = *found;
                std::vector<AudioObjectPropertyAddress> addresses;
                for (const auto& address : changed) {
                    if (covers(listener.address, address)) {
                        addresses.push_back(address);
                    }
                }
                if (addresses.empty()) {
                    continue;
                }
                calling_serial_ = serial;
                lock.unlock();
                listener.proc(object, static_cast<UInt32>(addresses.size()), addresses.data(), listener.data);
                lock.lock();
                calling_serial_ = 0;
                call_finished_.notify_all();
            }
        }
    }
}

OSStatus HalSystem::find_device(AudioObjectID id, std::shared_ptr<HalDevice>* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& candidate : devices_) {
        if (candidate->id() == id) {
            *device = candidate;
            return kAudioHardwareNoError;
        }
    }
    return id == kAudioObjectSystemObject || owner_of_locked(id) != nullptr ? kAudioHardwareBadDeviceError
                                                                            : kAudioHardwareBadObjectError;
}

void HalSystem::reset(const std::vector<DeviceDescription>& devices) {
    std::vector<std::shared_ptr<HalDevice>> old;
    std::vector<PropertyChange> changes;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        old.swap(devices_);
        listeners_.clear();
        if (std::this_thread::get_id() != notifier_id_) {
            call_finished_.wait(lock, [&] { return calling_serial_ == 0; });
        }
        std::string error;
        for (const DeviceDescription& description : devices) {
            auto device = make_device_locked(description, &error);
            if (device == nullptr) {
                std::fprintf(stderr, "velmora HAL: device \"%s\": %s; left out\n", description.uid.c_str(),
                             error.c_str());
                continue;
            }
            devices_.push_back(std::move(device));
        }
        default_output_ = default_input_ = default_system_output_ = kAudioObjectUnknown;
        refresh_defaults_locked(nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        queue_.clear();
    }
    // Stopped outside the lock: stopping waits for a cycle, whose procedures may call the HAL.
    for (const auto& device : old) {
        device->kill();
    }
}

AudioObjectID HalSystem::add_device(const DeviceDescription& description, std::string* error) {
    std::vector<PropertyChange> changes;
    AudioObjectID id = kAudioObjectUnknown;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string reason;
        auto device = make_device_locked(description, &reason);
        if (device == nullptr) {
            if (error != nullptr) {
                *error = reason;
            }
            return kAudioObjectUnknown;
        }
        id = device->id();
        devices_.push_back(std::move(device));
        changes.push_back({kAudioObjectSystemObject, kAudioHardwarePropertyDevices});
        refresh_defaults_locked(&changes);
    }
    notify(std::move(changes));
    return id;
}

bool HalSystem::kill_device(AudioObjectID id) {
    std::shared_ptr<HalDevice> device;
    if (find_device(id, &device) != kAudioHardwareNoError || !device->alive()) {
        return false;
    }
    const bool was_running = device->kill();
    std::vector<PropertyChange> changes{{id, kAudioDevicePropertyDeviceIsAlive}};
    if (was_running) {
        changes.push_back({id, kAudioDevicePropertyDeviceIsRunning});
        changes.push_back({id, kAudioDevicePropertyDeviceIsRunningSomewhere});
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refresh_defaults_locked(&changes);
    }
    notify(std::move(changes));
    return true;
}

bool HalSystem::remove_device(AudioObjectID id) {
    std::shared_ptr<HalDevice> device;
    if (find_device(id, &device) != kAudioHardwareNoError) {
        return false;
    }
    kill_device(id);
    std::vector<PropertyChange> changes{{kAudioObjectSystemObject, kAudioHardwarePropertyDevices}};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase(devices_, device);
        refresh_defaults_locked(&changes);
    }
    notify(std::move(changes));
    return true;
}

AudioObjectID HalSystem::device_with_uid(const std::string& uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : devices_) {
        if (device->uid() == uid) {
            return device->id();
        }
    }
    return kAudioObjectUnknown;
}

bool HalSystem::set_running_elsewhere(AudioObjectID id, bool running) {
    std::vector<PropertyChange> changes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto device = owner_of_locked(id);
        if (device == nullptr || device->id() != id) {
            return false;
        }
        device->set_running_elsewhere_locked(running, &changes);
    }
    notify(std::move(changes));
    return true;
}

bool HalSystem::refuse(AudioObjectID id, const Float64* rate, const UInt32* frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = owner_of_locked(id);
    if (device == nullptr || device->id() != id) {
        return false;
    }
    if (rate != nullptr) {
        device->refuse_rate_locked(*rate);
    }
    if (frames != nullptr) {
        device->refuse_frames_locked(*frames);
    }
    return true;
}

bool HalSystem::set_polls(AudioObjectID id, UInt32 rate_polls, UInt32 buffer_polls) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = owner_of_locked(id);
    if (device == nullptr || device->id() != id) {
        return false;
    }
    device->set_polls_locked(rate_polls, buffer_polls);
    return true;
}

} // namespace VelmoraCompat::Hal
