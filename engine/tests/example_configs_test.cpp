// The example configurations shipped in examples/ must keep loading as documented.
#include <velmora/engine/app_config.h>

#include <gtest/gtest.h>

namespace {

TEST(ExampleConfigurations, LoadAsDocumented) {
    AppConfig::Settings loopback;
    AppConfig::Settings hardware;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_file(VELMORA_SOURCE_DIR "/examples/loopback.ini", loopback, error))
        << error;
    ASSERT_TRUE(AppConfig::load_from_file(VELMORA_SOURCE_DIR "/examples/hal.ini", hardware, error)) << error;
    EXPECT_TRUE(loopback.test.loopback_device);
    EXPECT_EQ(loopback.client.server_ip, "127.0.0.1");
    EXPECT_EQ(loopback.client.client_id, 1u);
    EXPECT_EQ(loopback.client.driver_inputs, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(loopback.client.driver_outputs, (std::vector<std::int64_t>{0, 1}));
    EXPECT_FALSE(hardware.test.loopback_device);
    EXPECT_EQ(hardware.audio.device_uid, "SimulatedInterface8x8");
    EXPECT_EQ(hardware.client.client_id, 2u);
    EXPECT_EQ(hardware.audio.input_channel_map.size(), hardware.client.driver_inputs.size());
    EXPECT_EQ(hardware.audio.output_channel_map.size(), hardware.client.driver_outputs.size());
}

} // namespace
