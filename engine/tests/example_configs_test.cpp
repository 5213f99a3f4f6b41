// The example configurations shipped in examples/ must keep loading as documented.
#include <velmora/engine/app_config.h>

#include <gtest/gtest.h>

namespace {

TEST(ExampleConfigurations, LoopbackExampleLoads) {
    AppConfig::Settings settings;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_file(VELMORA_SOURCE_DIR "/examples/loopback.ini", settings, error))
        << error;
    EXPECT_TRUE(settings.test.loopback_device);
    EXPECT_EQ(settings.client.server_ip, "127.0.0.1");
    EXPECT_EQ(settings.client.server_port, 28010);
    EXPECT_EQ(settings.client.client_id, 1u);
    EXPECT_EQ(settings.client.driver_inputs, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(settings.client.driver_outputs, (std::vector<std::int64_t>{0, 1}));
}

TEST(ExampleConfigurations, HardwareExampleLoads) {
    AppConfig::Settings settings;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_file(VELMORA_SOURCE_DIR "/examples/hal.ini", settings, error)) << error;
    EXPECT_FALSE(settings.test.loopback_device);
    EXPECT_EQ(settings.audio.device_uid, "SimulatedInterface8x8");
    EXPECT_EQ(settings.client.client_id, 2u);
    EXPECT_EQ(settings.audio.input_channel_map.size(), settings.client.driver_inputs.size());
    EXPECT_EQ(settings.audio.output_channel_map.size(), settings.client.driver_outputs.size());
}

} // namespace
