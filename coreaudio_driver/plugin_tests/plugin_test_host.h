// Calls a plug-in through its function table, as the audio server does, with small helpers to
// read typed property values. Test code; one thread unless a test says otherwise.
#pragma once

#include <CoreAudio/AudioServerPlugIn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace VelmoraTest {

inline AudioObjectPropertyAddress
address_of(AudioObjectPropertySelector selector,
           AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
           AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return AudioObjectPropertyAddress{selector, scope, element};
}

inline std::string four_cc(UInt32 code) {
    return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
            static_cast<char>(code)};
}

class PlugInTestHost {
public:
    explicit PlugInTestHost(AudioServerPlugInDriverRef driver) : driver_(driver) {}

    AudioServerPlugInDriverRef driver() const { return driver_; }
    AudioServerPlugInDriverInterface& table() const { return **driver_; }

    bool has(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
        return table().HasProperty(driver_, object, 0, &address) != 0;
    }
    OSStatus size_of(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32& size) const {
        return table().GetPropertyDataSize(driver_, object, 0, &address, 0, nullptr, &size);
    }
    OSStatus get(AudioObjectID object, const AudioObjectPropertyAddress& address, void* data, UInt32 capacity,
                 UInt32& size, UInt32 qualifier_size = 0, const void* qualifier = nullptr) const {
        return table().GetPropertyData(driver_, object, 0, &address, qualifier_size, qualifier, capacity,
                                       &size, data);
    }
    OSStatus set(AudioObjectID object, const AudioObjectPropertyAddress& address, const void* data,
                 UInt32 size) const {
        return table().SetPropertyData(driver_, object, 0, &address, 0, nullptr, size, data);
    }

    // The whole value as bytes; the size first asked with GetPropertyDataSize, as hosts do.
    std::vector<unsigned char> bytes(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
        UInt32 size = 0;
        EXPECT_EQ(size_of(object, address, size), kAudioHardwareNoError) << four_cc(address.mSelector);
        std::vector<unsigned char> data(size + 1);
        UInt32 written = 0;
        EXPECT_EQ(get(object, address, data.data(), size, written), kAudioHardwareNoError);
        EXPECT_EQ(written, size) << four_cc(address.mSelector);
        data.resize(written);
        return data;
    }
    template <typename T>
    T value(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
        T result{};
        const std::vector<unsigned char> data = bytes(object, address);
        EXPECT_EQ(data.size(), sizeof(T)) << four_cc(address.mSelector);
        std::memcpy(&result, data.data(), std::min(data.size(), sizeof(T)));
        return result;
    }
    UInt32 u32(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
        return value<UInt32>(object, address);
    }
    // A string property's text; the +1 string is released, as the host does.
    std::string text(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
        CFStringRef string = value<CFStringRef>(object, address);
        char buffer[256] = {};
        EXPECT_TRUE(string != nullptr &&
                    CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8));
        if (string != nullptr) {
            CFRelease(string);
        }
        return buffer;
    }

    OSStatus add_client(AudioObjectID device = 2) const {
        AudioServerPlugInClientInfo info{};
        info.mClientID = 7;
        return table().AddDeviceClient(driver_, device, &info);
    }
    OSStatus remove_client(AudioObjectID device = 2) const {
        AudioServerPlugInClientInfo info{};
        info.mClientID = 7;
        return table().RemoveDeviceClient(driver_, device, &info);
    }

private:
    AudioServerPlugInDriverRef driver_;
};

} // namespace VelmoraTest
