#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

namespace {

namespace Hal = VelmoraCompat::Hal;

TEST(DeviceFile, ReadsEveryKey) {
    const std::string text = R"(# two devices
[Desk Interface]
uid = DeskInterface
manufacturer = Desk Co
transport = thunderbolt
input_streams = 2:int24, 4:float32-noninterleaved
output_streams = 8, 2:float32@44100
sample_rates = 44100, 48000, 88200-96000
sample_rate = 96000
buffer_frames = 128
buffer_frame_range = 32-2048
latency_frames = 10
safety_offset_frames = 4
default_output = yes
default_input = no
input_source = tone 1000 -6
output_sink = wav /tmp/out.wav
clock = manual
rate_change_polls = 3
buffer_change_polls = 2
refuse_sample_rates = 88200
refuse_buffer_frames = 64, 256

; the second one
[Mic]
uid = USBMic
name = USB Microphone
input_streams = 1:int16
input_source = wav /tmp/in file.wav
)";
    std::vector<Hal::DeviceDescription> devices;
    std::string error;
    ASSERT_TRUE(Hal::parse_device_file(text, &devices, &error)) << error;
    ASSERT_EQ(devices.size(), 2u);
    const auto& d = devices[0];
    EXPECT_EQ(d.uid, "DeskInterface");
    EXPECT_EQ(d.transport, static_cast<UInt32>(kAudioDeviceTransportTypeThunderbolt));
    EXPECT_EQ(d.input_streams[0].format, Hal::SampleFormat::int24);
    EXPECT_TRUE(d.input_streams[0].interleaved);
    EXPECT_FALSE(d.input_streams[1].interleaved);
    EXPECT_EQ(d.output_streams[1].fixed_rate, 44100.0);
    ASSERT_EQ(d.available_rates.size(), 3u);
    EXPECT_EQ(d.available_rates[2].mMinimum, 88200.0);
    EXPECT_EQ(d.max_buffer_frames, 2048u);
    EXPECT_EQ(d.input.level_dbfs, -6.0);
    EXPECT_EQ(d.output.path, "/tmp/out.wav");
    EXPECT_TRUE(d.manual_clock);
    EXPECT_EQ(d.refused_buffer_frames, (std::vector<UInt32>{64, 256}));
    EXPECT_EQ(devices[1].input.path, "/tmp/in file.wav");
}

TEST(DeviceFile, MalformedFilesSayWhereAndWhy) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"", "line 0: no [device] section"},
        {"uid = x\n", "line 1: \"uid\" comes before the first [device] section"},
        {"[A]\nuid x\n", "line 2: expected key = value"},
        {"[A\n", "line 1: a section header reads [device label]"},
        {"[A]\nuid = a\ncolour = red\n", "line 3: unknown key \"colour\""},
        {"[A]\nuid = a\nuid = b\n", "line 3: \"uid\" is given twice for this device"},
        {"[A]\nuid = a\noutput_streams = two\n", "line 3: bad stream channel count \"two\""},
        {"[A]\nuid = a\noutput_streams = 2:float64\n",
         "line 3: unknown sample format \"float64\" (float32, int16, int24, int32, with -noninterleaved)"},
        {"[A]\nuid = a\noutput_streams = 2@fast\n", "line 3: bad stream rate \"fast\""},
        {"[A]\nuid = a\nsample_rate = 48k\n", "line 3: bad sample_rate \"48k\""},
        {"[A]\nuid = a\nbuffer_frames = -1\n", "line 3: bad buffer_frames \"-1\""},
        {"[A]\nuid = a\nclock = slow\n", "line 3: bad clock (realtime or manual) \"slow\""},
        {"[A]\nuid = a\ninput_source = noise\n",
         "line 3: bad input_source \"noise\" (silence, tone [Hz [dBFS]], channel_ids, loopback, wav PATH)"},
        {"[A]\nuid = a\n", "line 1: device [A]: a device needs at least one stream"},
        {"[A]\noutput_streams = 2\n", "line 1: device [A]: uid must be 1 to 255 bytes of UTF-8 text"},
        {"[A]\nuid = a\noutput_streams = 65\n", "line 1: device [A]: output stream channel count must be 1 to 64"},
        {"[A]\nuid = a\noutput_streams = 2\nsample_rate = 22050\n", "line 1: device [A]: sample_rate is not one of sample_rates"},
        {"[A]\nuid = a\noutput_streams = 2\nbuffer_frames = 8\n", "line 1: device [A]: buffer_frames is outside buffer_frame_range"},
        {"[A]\nuid = a\noutput_streams = 2\n[B]\nuid = a\noutput_streams = 2\n", "line 4: device [B]: uid \"a\" is used twice"},
        {"[A]\nuid = caf\xC3\n", "line 1: device [A]: uid must be 1 to 255 bytes of UTF-8 text"},
    };
    for (const Case& c : cases) {
        std::vector<Hal::DeviceDescription> devices;
        std::string error;
        EXPECT_FALSE(Hal::parse_device_file(c.text, &devices, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_TRUE(devices.empty());
    }
}

TEST(DeviceFile, TheBuiltInSetIsValidAndABadFileLeavesIt) {
    std::string error;
    for (const auto& d : Hal::default_devices()) {
        EXPECT_TRUE(Hal::validate_description(d, &error)) << d.uid << ": " << error;
        // The device dialog hides devices whose UID names the product (the server's own device).
        EXPECT_EQ(d.uid.find("elmora"), std::string::npos) << d.uid;
    }
    EXPECT_FALSE(Hal::load_device_file("/nonexistent/devices.ini", &error));
    EXPECT_EQ(error, "/nonexistent/devices.ini: cannot read the file");
    EXPECT_NE(Hal::device_with_uid("BuiltInSpeakerDevice"), kAudioObjectUnknown);
}

} // namespace
