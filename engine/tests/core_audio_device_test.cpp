#include <velmora/engine/core_audio_device.h>

#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Hal = VelmoraCompat::Hal;

Hal::StreamDescription stream(UInt32 channels, bool interleaved = true,
                              Hal::SampleFormat format = Hal::SampleFormat::float32,
                              Float64 fixed_rate = 0.0) {
    Hal::StreamDescription s;
    s.channels = channels;
    s.interleaved = interleaved;
    s.format = format;
    s.fixed_rate = fixed_rate;
    return s;
}

// A 9-in/9-out interface whose channels are spread over an interleaved pair, a non-interleaved
// triple and an interleaved quad, on a clock the test steps by hand.
Hal::DeviceDescription multi_stream_device(const std::string& uid = "MultiStream") {
    Hal::DeviceDescription d;
    d.uid = uid;
    d.name = "Multi-stream interface";
    d.output_streams = {stream(2), stream(3, false), stream(4)};
    d.input_streams = {stream(2), stream(3, false), stream(4)};
    d.sample_rate = 44100.0;
    d.buffer_frames = 512;
    d.input.kind = Hal::InputKind::channel_ids;
    d.output.kind = Hal::OutputKind::meter;
    d.manual_clock = true;
    return d;
}

Hal::DeviceDescription stereo_output(const std::string& uid) {
    Hal::DeviceDescription d;
    d.uid = uid;
    d.name = uid;
    d.output_streams = {stream(2)};
    d.manual_clock = true;
    d.output.kind = Hal::OutputKind::meter;
    return d;
}

AudioDeviceSettings settings_for(const std::string& uid, std::vector<long> outputs,
                                 std::vector<long> inputs = {}) {
    AudioDeviceSettings s;
    s.device_uid = uid;
    s.sample_rate = 48000;
    s.block_frames = 128;
    s.output_channel_map = std::move(outputs);
    s.input_channel_map = std::move(inputs);
    return s;
}

struct OpenResult {
    bool opened;
    std::vector<std::string> lines;
};

OpenResult open_device(CoreAudioDevice& device, const AudioDeviceSettings& s) {
    OpenResult result;
    result.opened = device.open(
        s, [&result](const std::string& line) { result.lines.push_back(line); }, [](void*, long) {}, nullptr);
    return result;
}

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CoreAudioDeviceTest : public ::testing::Test {
protected:
    void TearDown() override { Hal::reset_to_defaults(); }
};

TEST_F(CoreAudioDeviceTest, OpenFailuresAreLoggedWithTheirExactReasons) {
    struct Case {
        const char* name;
        std::function<void(Hal::DeviceDescription&)> shape_device;
        std::function<void(AudioDeviceSettings&)> shape_request;
        const char* message;
    };
    const Case cases[] = {
        {"unknown uid", nullptr, [](AudioDeviceSettings& s) { s.device_uid = "NoSuchDevice"; },
         "[coreaudio] device UID was not found"},
        {"Default is a uid, not the default device", nullptr,
         [](AudioDeviceSettings& s) { s.device_uid = "Default"; }, "[coreaudio] device UID was not found"},
        {"no frames", nullptr, [](AudioDeviceSettings& s) { s.block_frames = 0; },
         "[coreaudio] invalid requested format"},
        {"too many frames", nullptr, [](AudioDeviceSettings& s) { s.block_frames = 65536; },
         "[coreaudio] invalid requested format"},
        {"no rate", nullptr, [](AudioDeviceSettings& s) { s.sample_rate = 0; },
         "[coreaudio] invalid requested format"},
        {"refused rate",
         [](Hal::DeviceDescription& d) {
             d.sample_rate = 44100.0;
             d.refused_rates = {48000.0};
         },
         nullptr, "[coreaudio] sample rate is unsupported"},
        {"rate not offered", nullptr, [](AudioDeviceSettings& s) { s.sample_rate = 96000; },
         "[coreaudio] sample rate is unsupported"},
        {"refused block size", [](Hal::DeviceDescription& d) { d.refused_buffer_frames = {128}; }, nullptr,
         "[coreaudio] block size is unsupported"},
        {"block size out of range", [](Hal::DeviceDescription& d) { d.min_buffer_frames = 256; }, nullptr,
         "[coreaudio] block size is unsupported"},
        {"24-bit output stream",
         [](Hal::DeviceDescription& d) {
             d.output_streams = {stream(2), stream(2, true, Hal::SampleFormat::int24)};
         },
         nullptr, "[coreaudio] device must expose native Float32 PCM at the server sample rate"},
        {"44100 Hz stream on a 48000 Hz device",
         [](Hal::DeviceDescription& d) {
             d.output_streams = {stream(2, true, Hal::SampleFormat::float32, 44100.0)};
         },
         nullptr, "[coreaudio] device must expose native Float32 PCM at the server sample rate"},
        {"output map past the total", nullptr,
         [](AudioDeviceSettings& s) {
             s.output_channel_map = {0, 2};
         },
         "[coreaudio] channel map exceeds the hardware range"},
        {"input map equal to the input total",
         [](Hal::DeviceDescription& d) {
             d.input_streams = {stream(1), stream(1, false)};
         },
         [](AudioDeviceSettings& s) {
             s.input_channel_map = {0, 2};
         },
         "[coreaudio] channel map exceeds the hardware range"},
        {"inputs mapped on a device without any", nullptr,
         [](AudioDeviceSettings& s) { s.input_channel_map = {0}; },
         "[coreaudio] channel map exceeds the hardware range"},
    };
    for (const Case& c : cases) {
        Hal::DeviceDescription d = stereo_output("Target");
        if (c.shape_device) {
            c.shape_device(d);
        }
        Hal::reset({d});
        AudioDeviceSettings s = settings_for("Target", {0, 1});
        if (c.shape_request) {
            c.shape_request(s);
        }
        CoreAudioDevice device;
        const OpenResult r = open_device(device, s);
        EXPECT_FALSE(r.opened) << c.name;
        ASSERT_EQ(r.lines.size(), 1u) << c.name;
        EXPECT_EQ(r.lines[0], c.message) << c.name;
    }
}

TEST_F(CoreAudioDeviceTest, HardwareThatNeverReportsTheBlockSizeFailsAfterAHundredPolls) {
    Hal::DeviceDescription d = stereo_output("Slow");
    d.buffer_change_polls = 1000;
    Hal::reset({d});
    CoreAudioDevice device;
    const auto started = std::chrono::steady_clock::now();
    const OpenResult r = open_device(device, settings_for("Slow", {0, 1}));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(r.opened);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0], "[coreaudio] hardware did not accept the server format");
    EXPECT_GE(took, std::chrono::milliseconds(900));
}

TEST_F(CoreAudioDeviceTest, OpensHardwareThatSwitchesAfterSomePollsAndTheDefaultOutput) {
    Hal::DeviceDescription switching = stereo_output("Switching");
    switching.sample_rate = 44100.0;
    switching.rate_change_polls = 4;
    switching.buffer_change_polls = 7;
    Hal::DeviceDescription speakers = stereo_output("Speakers");
    speakers.default_output = true;
    // A 24-bit input stream would fail the format check, but no input is mapped.
    speakers.input_streams = {stream(2, true, Hal::SampleFormat::int24)};
    Hal::reset({switching, speakers});
    for (const std::string uid : {"Switching", "default"}) {
        CoreAudioDevice device;
        const OpenResult r = open_device(device, settings_for(uid, {1}));
        ASSERT_TRUE(r.opened) << uid;
        EXPECT_EQ(r.lines, std::vector<std::string>{"[coreaudio] device=" + uid + " rate=48000 frames=128"});
        EXPECT_EQ(device.sample_rate, 48000.0);
        EXPECT_EQ(device.block_frames, 128u);
        EXPECT_EQ(device.output_channels, 2u);
        EXPECT_EQ(device.input_channels, 0u);
    }
}

// The cycle callback of a bare device: writes engine output channel c as the constant
// (c + 1) / 16 and reads every engine input channel.
struct BareCycle {
    CoreAudioDevice* device = nullptr;
    std::size_t outputs = 0;
    std::size_t inputs = 0;
    std::vector<std::vector<float>> read;
    std::vector<std::vector<float>> written;
    std::atomic<int> cycles{0};

    static void run(void* context, long index) {
        auto* self = static_cast<BareCycle*>(context);
        for (std::size_t c = 0; c < self->inputs; ++c) {
            self->device->read_channel(static_cast<long>(c), index, self->read[c].data(), 128);
        }
        for (std::size_t c = 0; c < self->outputs; ++c) {
            self->device->write_channel(static_cast<long>(c), index, self->written[c].data(), 128);
        }
        ++self->cycles;
    }
};

TEST_F(CoreAudioDeviceTest, EveryMappedChannelLandsOnItsHardwareChannelAcrossStreamLayouts) {
    const AudioObjectID id = [] {
        Hal::reset({multi_stream_device()});
        return Hal::device_with_uid("MultiStream");
    }();
    ASSERT_NE(id, kAudioObjectUnknown);
    // Hardware channels 0-1: interleaved pair; 2-4: non-interleaved; 5-8: interleaved quad.
    const std::vector<long> output_map = {8, 0, 3, 5, 2, 6};
    const std::vector<long> input_map = {7, 2, 4, 0, 1, 5};
    BareCycle cycle;
    CoreAudioDevice device;
    cycle.device = &device;
    cycle.outputs = output_map.size();
    cycle.inputs = input_map.size();
    cycle.read.assign(cycle.inputs, std::vector<float>(128, -1.0f));
    for (std::size_t c = 0; c < cycle.outputs; ++c) {
        cycle.written.emplace_back(128, static_cast<float>(c + 1) / 16.0f);
    }
    std::vector<std::string> lines;
    ASSERT_TRUE(device.open(
        settings_for("MultiStream", output_map, input_map),
        [&lines](const std::string& line) { lines.push_back(line); }, &BareCycle::run, &cycle));
    EXPECT_EQ(device.output_channels, 9u);
    EXPECT_EQ(device.input_channels, 9u);
    ASSERT_TRUE(device.start());
    Hal::output_levels(id);
    // The device's input is its hardware channel number, so every read shows where it came from.
    ASSERT_EQ(Hal::step_io_cycles(id, 4), 4u);
    EXPECT_EQ(cycle.cycles.load(), 4);
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
    device.stop();
}

TEST_F(CoreAudioDeviceTest, DeathAndFormatChangesByOthersMarkTheDeviceLostItsOwnSwitchDoesNot) {
    // The device runs 44100 Hz and 512 frames; open switches it to 48000 Hz and 128 frames, and
    // the HAL announces that on its notification thread, possibly after the listeners were added.
    const Float64 rate = 44100.0;
    const UInt32 frames = 256;
    const std::function<void(AudioObjectID)> changes[] = {
        [](AudioObjectID) {},
        [](AudioObjectID id) { ASSERT_TRUE(Hal::kill_device(id)); },
        [&](AudioObjectID id) {
            ASSERT_EQ(
                Hal::set_property_externally(id, kAudioDevicePropertyNominalSampleRate, &rate, sizeof rate),
                noErr);
        },
        [&](AudioObjectID id) {
            ASSERT_EQ(
                Hal::set_property_externally(id, kAudioDevicePropertyBufferFrameSize, &frames, sizeof frames),
                noErr);
        },
    };
    for (std::size_t c = 0; c < std::size(changes); ++c) {
        SCOPED_TRACE(c);
        Hal::reset({multi_stream_device()});
        const AudioObjectID id = Hal::device_with_uid("MultiStream");
        BareCycle cycle;
        CoreAudioDevice device;
        cycle.device = &device;
        ASSERT_TRUE(device.open(settings_for("MultiStream", {0}), nullptr, &BareCycle::run, &cycle));
        ASSERT_TRUE(device.start());
        Hal::step_io_cycles(id, 2);
        EXPECT_EQ(cycle.cycles.load(), 2);
        changes[c](id);
        if (c == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_FALSE(device.device_lost());
            // Stopped, its listeners and IO procedure are gone: a later change is not seen.
            device.stop();
            ASSERT_EQ(
                Hal::set_property_externally(id, kAudioDevicePropertyNominalSampleRate, &rate, sizeof rate),
                noErr);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_FALSE(device.device_lost());
            EXPECT_FALSE(device.start());
            continue;
        }
        EXPECT_TRUE(eventually([&] { return device.device_lost(); }));
        // Once lost, the cycle no longer calls the player.
        Hal::step_io_cycles(id, 2);
        EXPECT_EQ(cycle.cycles.load(), 2);
        device.stop();
    }
}

} // namespace
