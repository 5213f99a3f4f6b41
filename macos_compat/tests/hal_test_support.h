// Helpers shared by the simulated HAL's tests.
#pragma once

#include <CoreAudio/CoreAudio.h>
#include <velmora_compat/hal_control.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace HalTest {

namespace Hal = VelmoraCompat::Hal;

inline AudioObjectPropertyAddress address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                          AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return AudioObjectPropertyAddress{selector, scope, element};
}

template <typename T>
OSStatus read(AudioObjectID object, AudioObjectPropertySelector selector, T* value, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    const auto a = address(selector, scope);
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, value);
}

template <typename T>
T value_of(AudioObjectID object, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    T value{};
    read(object, selector, &value, scope);
    return value;
}

inline std::string string_of(AudioObjectID object, AudioObjectPropertySelector selector) {
    CFStringRef s = nullptr;
    if (read(object, selector, &s) != kAudioHardwareNoError || s == nullptr) {
        return "<error>";
    }
    char text[512];
    const bool ok = CFStringGetCString(s, text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(s);
    return ok ? text : "<unconvertible>";
}

inline UInt32 size_of(AudioObjectID object, const AudioObjectPropertyAddress& a) {
    UInt32 size = 0xFFFFFFFF;
    if (AudioObjectGetPropertyDataSize(object, &a, 0, nullptr, &size) != kAudioHardwareNoError) {
        return 0xFFFFFFFF;
    }
    return size;
}

template <typename T>
std::vector<T> list_of(AudioObjectID object, const AudioObjectPropertyAddress& a) {
    UInt32 size = size_of(object, a);
    if (size == 0xFFFFFFFF) {
        return {};
    }
    std::vector<T> items(size / sizeof(T));
    if (AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, items.data()) != kAudioHardwareNoError) {
        return {};
    }
    items.resize(size / sizeof(T));
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

    static OSStatus callback(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses, void* data) {
        auto* log = static_cast<ListenerLog*>(data);
        std::lock_guard<std::mutex> lock(log->mutex_);
        log->calls_.push_back(Call{object, std::vector<AudioObjectPropertyAddress>(addresses, addresses + count), std::this_thread::get_id()});
        log->changed_.notify_all();
        return 0;
    }

    bool wait_for(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    }

    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    bool heard(AudioObjectID object, AudioObjectPropertySelector selector) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Call& call : calls_) {
            for (const auto& a : call.addresses) {
                if (call.object == object && a.mSelector == selector) {
                    return true;
                }
            }
        }
        return false;
    }

    bool wait_until_heard(AudioObjectID object, AudioObjectPropertySelector selector) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (heard(object, selector)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

} // namespace HalTest
