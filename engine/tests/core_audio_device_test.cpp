// The CoreAudio backend against the simulated HAL. For the failures the simulated HAL cannot be told
// to produce (a read failing on a live device, a listener or IO procedure that cannot be
// registered), this program defines those HAL functions itself, fails the chosen call and forwards
// every other call to the simulated HAL.
#include <velmora/engine/core_audio_device.h>

#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Hal = VelmoraCompat::Hal;
using Selector = AudioObjectPropertySelector;

struct Faults {
    Selector failed_read = 0;          // AudioObjectGetPropertyData of this selector
    int listeners_before_failure = -1; // AddPropertyListener fails after this many (-1: never)
    bool io_proc_fails = false;
} faults;

// What the device under test did.
struct Calls {
    AudioDeviceIOProc io_proc = nullptr;
    void* io_client = nullptr;
    int listeners_added = 0;
    std::vector<Selector> listeners_removed;
} calls;

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

extern "C" OSStatus AudioObjectAddPropertyListener(AudioObjectID object,
                                                   const AudioObjectPropertyAddress* address,
                                                   AudioObjectPropertyListenerProc listener, void* data) {
    using Function = decltype(&AudioObjectAddPropertyListener);
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
    using Function = decltype(&AudioObjectRemovePropertyListener);
    static const Function real = next<Function>("AudioObjectRemovePropertyListener");
    calls.listeners_removed.push_back(address->mSelector);
    return real(object, address, listener, data);
}

extern "C" OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* data,
                                              AudioDeviceIOProcID* id) {
    using Function = decltype(&AudioDeviceCreateIOProcID);
    static const Function real = next<Function>("AudioDeviceCreateIOProcID");
    if (faults.io_proc_fails) {
        return kAudioHardwareIllegalOperationError;
    }
    calls.io_proc = proc;
    calls.io_client = data;
    return real(device, proc, data, id);
}

namespace {

// A 9-in/9-out interface whose channels are spread over an interleaved pair, a non-interleaved
// triple and an interleaved quad, on a clock the test steps by hand. Inputs carry their channel
// number; outputs are metered.
Hal::DeviceDescription device_description(std::vector<Hal::StreamDescription> streams = {
                                              {2}, {3, Hal::SampleFormat::float32, false}, {4}}) {
    Hal::DeviceDescription d;
    d.uid = d.name = "Interface";
    d.output_streams = d.input_streams = std::move(streams);
    d.input.kind = Hal::InputKind::channel_ids;
    d.output.kind = Hal::OutputKind::meter;
    d.manual_clock = true;
    return d;
}

AudioDeviceSettings settings(std::vector<long> outputs, std::vector<long> inputs = {}) {
    AudioDeviceSettings s;
    s.device_uid = "Interface";
    s.output_channel_map = std::move(outputs);
    s.input_channel_map = std::move(inputs);
    return s;
}

// Opens `device` with a cycle callback that counts cycles in `cycles` (when given); returns the
// lines it logged, and whether it opened in `opened`.
std::vector<std::string> open_device(CoreAudioDevice& device, const AudioDeviceSettings& s, bool& opened,
                                     int* cycles = nullptr) {
    std::vector<std::string> lines;
    opened = device.open(
        s, [&lines](const std::string& line) { lines.push_back(line); },
        [](void* context, long) { ++*static_cast<int*>(context); }, cycles);
    return lines;
}

class CoreAudioDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        faults = Faults{};
        calls = Calls{};
    }
    void TearDown() override { Hal::reset_to_defaults(); }
};

TEST_F(CoreAudioDeviceTest, OpenFailuresAreLoggedWithTheirExactReasonsAndUndone) {
    const std::vector<Selector> all_listeners = {
        kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyNominalSampleRate,
        kAudioDevicePropertyBufferFrameSize, kAudioDevicePropertyStreamConfiguration};
    struct Case {
        const char* message;
        std::function<void(Hal::DeviceDescription&, AudioDeviceSettings&)> shape;
        Faults faults = {};
        std::vector<Selector> removed = {};
    };
    const char* float32 = "device must expose native Float32 PCM at the server sample rate";
    const char* map = "channel map exceeds the hardware range";
    const Case cases[] = {
        {"device UID was not found", [](auto&, auto& s) { s.device_uid = "NoSuchDevice"; }},
        {"invalid requested format", [](auto&, auto& s) { s.block_frames = 65536; }},
        {"sample rate is unsupported", [](auto& d, auto&) { d.refused_rates = {48000.0}; }},
        {"sample rate is unsupported", [](auto&, auto& s) { s.sample_rate = 96000; }},
        {"block size is unsupported", [](auto& d, auto&) { d.refused_buffer_frames = {128}; }},
        {"hardware did not accept the server format", [](auto& d, auto&) { d.buffer_change_polls = 1000; }},
        {float32, [](auto& d, auto&) { d.output_streams[1].format = Hal::SampleFormat::int24; }},
        {float32, [](auto& d, auto&) { d.output_streams[2].fixed_rate = 44100.0; }},
        {map, [](auto&, auto& s) { s.output_channel_map.back() = 9; }},
        {map, [](auto&, auto& s) { s.input_channel_map.back() = 9; }},
        {"cannot read device format", nullptr, {kAudioDevicePropertyNominalSampleRate}},
        {"cannot read device streams", nullptr, {kAudioDevicePropertyStreams}},
        {"cannot read stream format", nullptr, {kAudioStreamPropertyVirtualFormat}},
        {"cannot watch hardware changes", nullptr, {0, 0}},
        {"cannot watch hardware changes", nullptr, {0, 2}, {all_listeners[0], all_listeners[1]}},
        {"cannot create audio callback", nullptr, {0, -1, true}, all_listeners},
    };
    const auto started = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Hal::DeviceDescription d = device_description();
        d.sample_rate = 44100.0;
        AudioDeviceSettings s = settings({0, 8}, {1, 4});
        if (c.shape) {
            c.shape(d, s);
        }
        Hal::reset({d});
        faults = c.faults;
        calls = Calls{};
        {
            CoreAudioDevice device;
            bool opened = true;
            EXPECT_EQ(open_device(device, s, opened),
                      std::vector<std::string>{std::string("[coreaudio] ") + c.message});
            EXPECT_FALSE(opened);
            EXPECT_EQ(calls.listeners_removed, c.removed);
            EXPECT_FALSE(device.start());
        }
        EXPECT_EQ(calls.listeners_removed, c.removed) << "destroying the object undoes nothing twice";
    }
    // Only the device that never reports the block size waits out its 100 polls.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
}

TEST_F(CoreAudioDeviceTest, EveryMappedChannelLandsOnItsHardwareChannelAcrossStreamLayouts) {
    // The second device is the default output; it takes a few polls to switch rate and block size.
    Hal::DeviceDescription d = device_description();
    d.uid = "Second";
    d.sample_rate = 44100.0;
    d.rate_change_polls = 4;
    d.buffer_change_polls = 7;
    d.default_output = true;
    Hal::reset({device_description(), d});
    const AudioObjectID id = Hal::device_with_uid("Second");
    // Hardware channels 0-1: interleaved pair; 2-4: non-interleaved; 5-8: interleaved quad.
    const std::vector<long> output_map = {8, 0, 3, 5, 2, 6};
    const std::vector<long> input_map = {7, 2, 4, 0, 1, 5};
    struct Cycle {
        CoreAudioDevice device;
        std::vector<std::vector<float>> read;
    } cycle;
    cycle.read.assign(input_map.size(), std::vector<float>(128, -1.0f));
    // Writes engine output channel c as the constant (c + 1) / 16 and reads every engine input.
    const auto run = [](void* context, long index) {
        auto* self = static_cast<Cycle*>(context);
        for (std::size_t c = 0; c < self->read.size(); ++c) {
            const std::vector<float> value(128, static_cast<float>(c + 1) / 16.0f);
            self->device.read_channel(static_cast<long>(c), index, self->read[c].data(), 128);
            self->device.write_channel(static_cast<long>(c), index, value.data(), 128);
        }
    };
    AudioDeviceSettings s = settings(output_map, input_map);
    s.device_uid = "default";
    std::vector<std::string> lines;
    ASSERT_TRUE(cycle.device.open(
        s, [&lines](const std::string& line) { lines.push_back(line); }, run, &cycle));
    EXPECT_EQ(lines, std::vector<std::string>{"[coreaudio] device=default rate=48000 frames=128"});
    EXPECT_EQ(cycle.device.output_channels, 9u);
    EXPECT_EQ(cycle.device.input_channels, 9u);
    ASSERT_TRUE(cycle.device.start());
    ASSERT_EQ(Hal::step_io_cycles(id, 4), 4u);
    // The device's input is its hardware channel number, so every read shows where it came from.
    for (std::size_t c = 0; c < input_map.size(); ++c) {
        for (float v : cycle.read[c]) {
            ASSERT_EQ(v, static_cast<float>(input_map[c] + 1) / 1024.0f) << "engine input " << c;
        }
    }
    const std::vector<Hal::ChannelLevel> levels = Hal::output_levels(id);
    ASSERT_EQ(levels.size(), 9u);
    std::vector<float> expected(9, 0.0f);
    for (std::size_t c = 0; c < output_map.size(); ++c) {
        expected[static_cast<std::size_t>(output_map[c])] = static_cast<float>(c + 1) / 16.0f;
    }
    for (std::size_t hw = 0; hw < 9; ++hw) {
        EXPECT_FLOAT_EQ(levels[hw].peak, expected[hw]) << "hardware output " << hw;
        EXPECT_FLOAT_EQ(levels[hw].rms, expected[hw]) << "hardware output " << hw;
    }
    cycle.device.stop();
}

TEST_F(CoreAudioDeviceTest, DeathAndFormatChangesByOthersMarkTheDeviceLostItsOwnSwitchDoesNot) {
    // The device runs 44100 Hz and 512 frames; open switches it to 48000 Hz and 128 frames, and
    // the HAL announces that on its notification thread, possibly after the listeners were added.
    const auto set = [](AudioObjectID id, Selector selector, auto value) {
        ASSERT_EQ(Hal::set_property_externally(id, selector, &value, sizeof value), noErr);
    };
    const auto set_rate = [&](AudioObjectID id) {
        set(id, kAudioDevicePropertyNominalSampleRate, Float64{44100});
    };
    const std::function<void(AudioObjectID)> changes[] = {
        [](AudioObjectID) {},
        [](AudioObjectID id) { ASSERT_TRUE(Hal::kill_device(id)); },
        set_rate,
        [&](AudioObjectID id) { set(id, kAudioDevicePropertyBufferFrameSize, UInt32{256}); },
    };
    for (std::size_t c = 0; c < std::size(changes); ++c) {
        SCOPED_TRACE(c);
        Hal::DeviceDescription d = device_description();
        d.sample_rate = 44100.0;
        Hal::reset({d});
        const AudioObjectID id = Hal::device_with_uid("Interface");
        CoreAudioDevice device;
        bool opened = false;
        int cycles = 0;
        open_device(device, settings({0}), opened, &cycles);
        ASSERT_TRUE(opened && device.start());
        Hal::step_io_cycles(id, 2);
        EXPECT_EQ(cycles, 2);
        changes[c](id);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(c == 0 ? 200 : 10000);
        while (!device.device_lost() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(device.device_lost(), c != 0);
        // Once lost, the cycle no longer calls the player.
        Hal::step_io_cycles(id, 2);
        EXPECT_EQ(cycles, c == 0 ? 4 : 2);
        device.stop();
        if (c == 0) {
            // Stopped, its listeners and IO procedure are gone: a later change is not seen.
            set_rate(id);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_FALSE(device.device_lost());
            EXPECT_FALSE(device.start());
        }
    }
}

// A buffer list of two stereo buffers, as CoreAudio lays it out, every sample 0.5.
struct BufferList {
    alignas(AudioBufferList) unsigned char bytes[offsetof(AudioBufferList, mBuffers) +
                                                 2 * sizeof(AudioBuffer)] = {};
    std::vector<float> storage = std::vector<float>(2 * 2 * 128, 0.5f);
    AudioBufferList* list = reinterpret_cast<AudioBufferList*>(bytes);

    BufferList() {
        list->mNumberBuffers = 2;
        for (std::size_t b = 0; b < 2; ++b) {
            list->mBuffers[b] = {2, 2 * 128 * sizeof(float), storage.data() + b * 256};
        }
    }
};

TEST_F(CoreAudioDeviceTest, MalformedBufferListsMarkTheDeviceLostAndOutputSilence) {
    struct Case {
        const char* name;
        std::function<void(BufferList& input, BufferList& output)> damage;
    };
    const Case cases[] = {
        {"well formed", [](BufferList&, BufferList&) {}},
        {"no input list", [](BufferList& in, BufferList&) { in.list = nullptr; }},
        {"mapped input beyond the buffers", [](BufferList& in, BufferList&) { in.list->mNumberBuffers = 1; }},
        {"input without data", [](BufferList& in, BufferList&) { in.list->mBuffers[1].mData = nullptr; }},
        {"input of the wrong size",
         [](BufferList& in, BufferList&) { in.list->mBuffers[1].mDataByteSize -= 4; }},
        {"output of the wrong size",
         [](BufferList&, BufferList& out) { out.list->mBuffers[1].mDataByteSize -= 4; }},
        {"mapped output beyond the buffers",
         [](BufferList&, BufferList& out) { out.list->mBuffers[1].mNumberChannels = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Hal::reset({device_description({{2}, {2}})});
        calls = Calls{};
        int cycles = 0;
        CoreAudioDevice device;
        bool opened = false;
        open_device(device, settings({3}, {2}), opened, &cycles);
        ASSERT_TRUE(opened && calls.io_proc != nullptr);
        BufferList input;
        BufferList output;
        c.damage(input, output);
        const bool lost = &c != &cases[0];
        calls.io_proc(0, nullptr, input.list, nullptr, output.list, nullptr, calls.io_client);
        EXPECT_EQ(device.device_lost(), lost);
        EXPECT_EQ(cycles, lost ? 0 : 1);
        // Every output sample was cleared before anything else.
        for (std::size_t b = 0; b < 2; ++b) {
            const long size = output.list->mBuffers[b].mDataByteSize / sizeof(float);
            EXPECT_EQ(
                std::count(output.storage.data() + b * 256, output.storage.data() + b * 256 + size, 0.0f),
                size);
        }
        // Once lost, never called again.
        BufferList intact;
        calls.io_proc(0, nullptr, intact.list, nullptr, output.list, nullptr, calls.io_client);
        EXPECT_EQ(cycles, lost ? 0 : 2);
    }
}

} // namespace
