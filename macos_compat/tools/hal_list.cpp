// velmora_hal_list: prints the audio devices the system offers, as the engine will find them,
// through CoreAudio's own functions only.
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string four_char(OSStatus status) {
    char text[5];
    const UInt32 value = static_cast<UInt32>(status);
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
        if (c < 32 || c > 126) {
            return std::to_string(status);
        }
        text[i] = c;
    }
    text[4] = '\0';
    return std::string("'") + text + "'";
}

std::string read_string(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    CFStringRef value = nullptr;
    UInt32 size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != kAudioHardwareNoError || value == nullptr) {
        return "?";
    }
    std::vector<char> text(static_cast<std::size_t>(CFStringGetMaximumSizeForEncoding(CFStringGetLength(value), kCFStringEncodingUTF8)) + 1);
    const bool ok = CFStringGetCString(value, text.data(), static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8);
    CFRelease(value);
    return ok ? std::string(text.data()) : "?";
}

template <typename T>
bool read_value(AudioObjectID object, AudioObjectPropertySelector selector, T* value) {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, value) == kAudioHardwareNoError;
}

// Channels per direction: the sum over the buffers of the stream configuration.
UInt32 channels(AudioObjectID device, bool input) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                             input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != kAudioHardwareNoError || size < sizeof(UInt32)) {
        return 0;
    }
    std::vector<std::uint64_t> storage((size + 7) / 8);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, list) != kAudioHardwareNoError) {
        return 0;
    }
    UInt32 total = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        total += list->mBuffers[b].mNumberChannels;
    }
    return total;
}

std::string rates(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyAvailableNominalSampleRates, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != kAudioHardwareNoError) {
        return "?";
    }
    std::vector<AudioValueRange> ranges(size / sizeof(AudioValueRange));
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, ranges.data()) != kAudioHardwareNoError) {
        return "?";
    }
    std::string text;
    for (std::size_t i = 0; i < size / sizeof(AudioValueRange); ++i) {
        char item[64];
        if (ranges[i].mMinimum == ranges[i].mMaximum) {
            std::snprintf(item, sizeof item, "%s%.0f", text.empty() ? "" : ",", ranges[i].mMinimum);
        } else {
            std::snprintf(item, sizeof item, "%s%.0f-%.0f", text.empty() ? "" : ",", ranges[i].mMinimum, ranges[i].mMaximum);
        }
        text += item;
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        std::fprintf(help ? stdout : stderr,
                     "usage: velmora_hal_list\n"
                     "Prints the audio devices of this system: UID, name, channels per direction, sample rate and\n"
                     "buffer size. Where the system's audio is simulated, VELMORA_HAL_DEVICES names the device file.\n");
        return help ? 0 : 2;
    }
    const AudioObjectPropertyAddress devices_address{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices_address, 0, nullptr, &size);
    std::vector<AudioObjectID> devices(size / sizeof(AudioObjectID));
    if (status == kAudioHardwareNoError) {
        status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices_address, 0, nullptr, &size, devices.data());
        devices.resize(size / sizeof(AudioObjectID));
    }
    if (status != kAudioHardwareNoError) {
        std::fprintf(stderr, "velmora_hal_list: cannot read the device list (error %s)\n", four_char(status).c_str());
        return 1;
    }
    AudioObjectID default_output = kAudioObjectUnknown;
    AudioObjectID default_input = kAudioObjectUnknown;
    read_value(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, &default_output);
    read_value(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, &default_input);

    std::printf("%zu audio device%s\n", devices.size(), devices.size() == 1 ? "" : "s");
    std::printf("%-28s %-28s %5s %5s %8s %7s  %s\n", "UID", "Name", "In", "Out", "Rate", "Buffer", "Rates / notes");
    for (AudioObjectID device : devices) {
        Float64 rate = 0.0;
        UInt32 frames = 0;
        UInt32 alive = 0;
        read_value(device, kAudioDevicePropertyNominalSampleRate, &rate);
        read_value(device, kAudioDevicePropertyBufferFrameSize, &frames);
        read_value(device, kAudioDevicePropertyDeviceIsAlive, &alive);
        std::string notes = rates(device);
        if (device == default_output) {
            notes += ", default output";
        }
        if (device == default_input) {
            notes += ", default input";
        }
        if (alive == 0) {
            notes += ", not alive";
        }
        std::printf("%-28s %-28s %5u %5u %8.0f %7u  %s\n", read_string(device, kAudioDevicePropertyDeviceUID).c_str(),
                    read_string(device, kAudioObjectPropertyName).c_str(), channels(device, true), channels(device, false), rate, frames,
                    notes.c_str());
    }
    return 0;
}
