// Failures of the HAL calls that the simulated HAL cannot be told to produce (reads that fail on
// a live device, a listener or IO procedure that cannot be registered). This binary defines those
// HAL functions itself, fails the chosen call, and forwards every other call to the simulated HAL.
#include <velmora/engine/core_audio_device.h>

#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <functional>

#include <string>
#include <vector>

namespace {

namespace Hal = VelmoraCompat::Hal;

struct Faults {
    AudioObjectPropertySelector failed_read; // AudioObjectGetPropertyData of this selector
    AudioObjectPropertySelector failed_size; // AudioObjectGetPropertyDataSize of this selector
    int listeners_before_failure;            // AddPropertyListener fails after this many (-1: never)
    bool io_proc_fails;
};
Faults faults{0, 0, -1, false};

// What the device under test did.
struct Calls {
    AudioDeviceIOProc io_proc = nullptr;
    void* io_client = nullptr;
    int listeners_added = 0;
    std::vector<AudioObjectPropertySelector> listeners_removed;
    bool io_proc_destroyed = false;
};
Calls calls;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress* address,
                                               UInt32 qualifier_size, const void* qualifier, UInt32* size,
                                               void* data) {
    using Function =
        OSStatus (*)(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, const void*, UInt32*, void*);
    static const Function real = next<Function>("AudioObjectGetPropertyData");
    if (address != nullptr && address->mSelector == faults.failed_read) {
        return kAudioHardwareUnspecifiedError;
    }
    return real(object, address, qualifier_size, qualifier, size, data);
}

extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress* address,
                                                   UInt32 qualifier_size, const void* qualifier,
                                                   UInt32* size) {
    using Function =
        OSStatus (*)(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, const void*, UInt32*);
    static const Function real = next<Function>("AudioObjectGetPropertyDataSize");
    if (address != nullptr && address->mSelector == faults.failed_size) {
        return kAudioHardwareUnspecifiedError;
    }
    return real(object, address, qualifier_size, qualifier, size);
}

extern "C" OSStatus AudioObjectAddPropertyListener(AudioObjectID object,
                                                   const AudioObjectPropertyAddress* address,
                                                   AudioObjectPropertyListenerProc listener, void* data) {
    using Function = OSStatus (*)(AudioObjectID, const AudioObjectPropertyAddress*,
                                  AudioObjectPropertyListenerProc, void*);
    static const Function real = next<Function>("AudioObjectAddPropertyListener");
    if (faults.listeners_before_failure >= 0 && calls.listeners_added >= faults.listeners_before_failure) {
        return kAudioHardwareIllegalOperationError;
    }
    const OSStatus status = real(object, address, listener, data);
    calls.listeners_added += status == noErr ? 1 : 0;
    return status;
}

extern "C" OSStatus AudioObjectRemovePropertyListener(AudioObjectID object,
                                                      const AudioObjectPropertyAddress* address,
                                                      AudioObjectPropertyListenerProc listener, void* data) {
    using Function = OSStatus (*)(AudioObjectID, const AudioObjectPropertyAddress*,
                                  AudioObjectPropertyListenerProc, void*);
    static const Function real = next<Function>("AudioObjectRemovePropertyListener");
    if (address != nullptr) {
        calls.listeners_removed.push_back(address->mSelector);
    }
    return real(object, address, listener, data);
}

extern "C" OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* data,
                                              AudioDeviceIOProcID* id) {
    using Function = OSStatus (*)(AudioObjectID, AudioDeviceIOProc, void*, AudioDeviceIOProcID*);
    static const Function real = next<Function>("AudioDeviceCreateIOProcID");
    if (faults.io_proc_fails) {
        return kAudioHardwareIllegalOperationError;
    }
    calls.io_proc = proc;
    calls.io_client = data;
    return real(device, proc, data, id);
}

extern "C" OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    using Function = OSStatus (*)(AudioObjectID, AudioDeviceIOProcID);
    static const Function real = next<Function>("AudioDeviceDestroyIOProcID");
    calls.io_proc_destroyed = true;
    return real(device, id);
}

namespace {

TEST(CoreAudioDeviceFailure, EveryFailedHalCallIsReportedAndUndone) {
    Hal::DeviceDescription d;
    d.uid = "Interface";
    d.name = "Interface";
    d.output_streams = {Hal::StreamDescription{}};
    d.input_streams = {Hal::StreamDescription{}};
    d.manual_clock = true;
    const std::vector<AudioObjectPropertySelector> all_listeners = {
        kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyNominalSampleRate,
        kAudioDevicePropertyBufferFrameSize, kAudioDevicePropertyStreamConfiguration};

    struct Case {
        const char* name;
        Faults faults;
        const char* message;
        std::vector<AudioObjectPropertySelector> removed;
    };
    const Case cases[] = {
        {"device list size",
         Faults{0, kAudioHardwarePropertyDevices, -1, false},
         "[coreaudio] device UID was not found",
         {}},
        {"nominal rate",
         Faults{kAudioDevicePropertyNominalSampleRate, 0, -1, false},
         "[coreaudio] cannot read device format",
         {}},
        {"buffer size",
         Faults{kAudioDevicePropertyBufferFrameSize, 0, -1, false},
         "[coreaudio] cannot read device format",
         {}},
        {"stream list size",
         Faults{0, kAudioDevicePropertyStreams, -1, false},
         "[coreaudio] cannot read device streams",
         {}},
        {"stream list",
         Faults{kAudioDevicePropertyStreams, 0, -1, false},
         "[coreaudio] cannot read device streams",
         {}},
        {"stream format",
         Faults{kAudioStreamPropertyVirtualFormat, 0, -1, false},
         "[coreaudio] cannot read stream format",
         {}},
        {"first listener", Faults{0, 0, 0, false}, "[coreaudio] cannot watch hardware changes", {}},
        {"third listener",
         Faults{0, 0, 2, false},
         "[coreaudio] cannot watch hardware changes",
         {kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyNominalSampleRate}},
        {"io procedure", Faults{0, 0, -1, true}, "[coreaudio] cannot create audio callback", all_listeners},
    };
    for (const Case& c : cases) {
        Hal::reset({d});
        faults = c.faults;
        calls = Calls{};
        std::vector<std::string> lines;
        {
            CoreAudioDevice device;
            AudioDeviceSettings s;
            s.device_uid = "Interface";
            s.output_channel_map = {0, 1};
            s.input_channel_map = {1};
            EXPECT_FALSE(device.open(
                s, [&lines](const std::string& line) { lines.push_back(line); }, [](void*, long) {}, nullptr))
                << c.name;
            ASSERT_EQ(lines.size(), 1u) << c.name;
            EXPECT_EQ(lines[0], c.message) << c.name;
            EXPECT_EQ(calls.listeners_removed, c.removed) << c.name;
            EXPECT_FALSE(device.start()) << c.name;
        }
        // Destroying the object undoes nothing twice.
        EXPECT_EQ(calls.listeners_removed, c.removed) << c.name;
        EXPECT_FALSE(calls.io_proc_destroyed) << c.name;
    }
    faults = Faults{0, 0, -1, false};
    Hal::reset_to_defaults();
}

// A buffer list of up to four buffers, as CoreAudio lays it out.
struct BufferList {
    alignas(AudioBufferList) unsigned char bytes[offsetof(AudioBufferList, mBuffers) +
                                                 4 * sizeof(AudioBuffer)] = {};
    std::vector<std::vector<float>> storage;

    explicit BufferList(std::vector<UInt32> channels_per_buffer, UInt32 frames) {
        list()->mNumberBuffers = static_cast<UInt32>(channels_per_buffer.size());
        for (std::size_t b = 0; b < channels_per_buffer.size(); ++b) {
            storage.emplace_back(channels_per_buffer[b] * frames, 0.5f);
            list()->mBuffers[b].mNumberChannels = channels_per_buffer[b];
            list()->mBuffers[b].mDataByteSize = static_cast<UInt32>(storage[b].size() * sizeof(float));
            list()->mBuffers[b].mData = storage[b].data();
        }
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(bytes); }
};

TEST(CoreAudioDeviceFailure, MalformedBufferListsMarkTheDeviceLostAndOutputSilence) {
    Hal::DeviceDescription d;
    d.uid = "Interface";
    d.name = "Interface";
    d.output_streams = {Hal::StreamDescription{}, Hal::StreamDescription{}};
    d.input_streams = {Hal::StreamDescription{}, Hal::StreamDescription{}};
    d.manual_clock = true;
    struct Case {
        const char* name;
        std::function<void(BufferList& input, BufferList& output)> damage;
        bool null_input;
        bool lost;
    };
    const Case cases[] = {
        {"well formed", [](BufferList&, BufferList&) {}, false, false},
        {"no input list", [](BufferList&, BufferList&) {}, true, true},
        {"no input buffers", [](BufferList& in, BufferList&) { in.list()->mNumberBuffers = 0; }, false, true},
        {"mapped input beyond the buffers",
         [](BufferList& in, BufferList&) { in.list()->mNumberBuffers = 1; }, false, true},
        {"input without data", [](BufferList& in, BufferList&) { in.list()->mBuffers[1].mData = nullptr; },
         false, true},
        {"input of the wrong size",
         [](BufferList& in, BufferList&) { in.list()->mBuffers[1].mDataByteSize -= 4; }, false, true},
        {"output of the wrong size",
         [](BufferList&, BufferList& out) { out.list()->mBuffers[1].mDataByteSize -= 4; }, false, true},
        {"mapped output beyond the buffers",
         [](BufferList&, BufferList& out) { out.list()->mBuffers[1].mNumberChannels = 1; }, false, true},
    };
    for (const Case& c : cases) {
        Hal::reset({d});
        faults = Faults{0, 0, -1, false};
        calls = Calls{};
        int cycles = 0;
        CoreAudioDevice device;
        AudioDeviceSettings s;
        s.device_uid = "Interface";
        s.output_channel_map = {3};
        s.input_channel_map = {2};
        ASSERT_TRUE(device.open(
            s, nullptr, [](void* context, long) { ++*static_cast<int*>(context); }, &cycles));
        ASSERT_NE(calls.io_proc, nullptr);
        BufferList input({2, 2}, 128);
        BufferList output({2, 2}, 128);
        c.damage(input, output);
        calls.io_proc(0, nullptr, c.null_input ? nullptr : input.list(), nullptr, output.list(), nullptr,
                      calls.io_client);
        EXPECT_EQ(device.device_lost(), c.lost) << c.name;
        EXPECT_EQ(cycles, c.lost ? 0 : 1) << c.name;
        // Every output buffer was cleared before anything else.
        for (std::size_t b = 0; b < output.storage.size(); ++b) {
            for (std::size_t i = 0; i < output.list()->mBuffers[b].mDataByteSize / sizeof(float); ++i) {
                ASSERT_EQ(output.storage[b][i], 0.0f) << c.name;
            }
        }
        // Once lost, never called again.
        calls.io_proc(0, nullptr, input.list(), nullptr, output.list(), nullptr, calls.io_client);
        EXPECT_EQ(cycles, c.lost ? 0 : 2) << c.name;
    }
    Hal::reset_to_defaults();
}

} // namespace
