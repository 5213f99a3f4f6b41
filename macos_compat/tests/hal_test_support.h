// Helpers shared by the simulated HAL's tests.
#pragma once

#include <CoreAudio/CoreAudio.h>
#include <velmora_compat/hal_control.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace HalTest {

namespace Hal = VelmoraCompat::Hal;

inline AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                          AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                          AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return AudioObjectPropertyAddress{selector, scope, element};
}

template <typename T>
T value_of(AudioObjectID object, AudioObjectPropertySelector selector,
           AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    const auto a = address(selector, scope);
    T value{};
    UInt32 size = sizeof(T);
    AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &value);
    return value;
}

inline UInt32 size_of(AudioObjectID object, const AudioObjectPropertyAddress& a) {
    UInt32 size = 0xFFFFFFFF;
    return AudioObjectGetPropertyDataSize(object, &a, 0, nullptr, &size) == kAudioHardwareNoError ? size
                                                                                                  : 0xFFFFFFFF;
}

inline std::vector<AudioObjectID> list_of(AudioObjectID object, const AudioObjectPropertyAddress& a) {
    UInt32 size = size_of(object, a);
    std::vector<AudioObjectID> items(size == 0xFFFFFFFF ? 0 : size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, items.data()) != kAudioHardwareNoError) {
        return {};
    }
    items.resize(size / sizeof(AudioObjectID));
    return items;
}

inline Hal::DeviceDescription manual_device(const std::string& uid, std::vector<Hal::StreamDescription> inputs,
                                            std::vector<Hal::StreamDescription> outputs) {
    Hal::DeviceDescription d;
    d.uid = uid;
    d.name = uid + " name";
    d.input_streams = std::move(inputs);
    d.output_streams = std::move(outputs);
    d.sample_rate = 48000.0;
    d.buffer_frames = 64;
    d.manual_clock = true;
    d.rate_change_polls = 0;
    return d;
}

// Records listener calls; any thread.
class ListenerLog {
public:
    struct Call {
        AudioObjectID object;
        std::vector<AudioObjectPropertyAddress> addresses;
        std::thread::id thread;
    };

    static OSStatus callback(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses,
                             void* data) {
        auto* log = static_cast<ListenerLog*>(data);
        std::lock_guard<std::mutex> lock(log->mutex_);
        log->calls_.push_back(Call{object, {addresses, addresses + count}, std::this_thread::get_id()});
        log->changed_.notify_all();
        return 0;
    }

    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    // Waits up to 5 s for a call about `selector` of `object` (selector 0: any call at all).
    bool heard(AudioObjectID object, AudioObjectPropertySelector selector = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            for (const Call& call : calls_) {
                for (const auto& a : call.addresses) {
                    if (selector == 0 || (call.object == object && a.mSelector == selector)) {
                        return true;
                    }
                }
            }
            return false;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

} // namespace HalTest
