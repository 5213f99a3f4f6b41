// The pump on a real socket, ticked by hand from the test thread.
#include "udp_test_client.h"

#include <velmora/platform/clocks.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_pump.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using VelmoraMac::CoreAudioHalRuntime;
using VelmoraTest::UdpTestClient;
using Types = std::vector<std::uint16_t>;
using namespace std::chrono_literals;

// Without clients queued blocks are consumed and dropped; then each block goes out as a sync
// (type 3) followed by its fragments (type 2), an empty output map gets the syncs alone, and a
// tick sends at most 8 blocks.
TEST(NetworkPump, EachBlockGoesOutAsSyncThenFragmentsAtMostEightPerTick) {
    VelmoraMac::CoreAudioDebugSharedState debug(VelmoraTest::unique_shared_name("VelmoraDebugStats_test"));
    ASSERT_TRUE(debug.initialize());
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkPump pump;
    pump.set_debug_state(&debug);
    VelmoraMac::CoreAudioNetworkPump::Config config;
    config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
    ASSERT_TRUE(pump.start(config));
    auto publish_blocks = [&](int count) {
        const std::vector<float> samples(32 * 128, 0.5F);
        for (int i = 0; i < count; ++i) {
            runtime->publish_output_block(samples.data(), 128, 48000,
                                          VelmoraPlatform::host_time_nanoseconds());
        }
    };
    auto received_types = [](UdpTestClient& peer) {
        Types types;
        while (auto packet = peer.receive(200ms)) {
            types.push_back(VelmoraTest::packet_type(*packet));
        }
        return types;
    };
    // Every client feeds input channel 4, so an empty output map is not a disconnect.
    auto announce = [&](UdpTestClient& peer, std::uint32_t client_id, std::vector<std::int64_t> outputs) {
        const std::uint32_t before = pump.active_client_count();
        ASSERT_TRUE(peer.announce(client_id, 1, {4}, outputs));
        for (const auto give_up = std::chrono::steady_clock::now() + 10s;
             pump.active_client_count() == before && std::chrono::steady_clock::now() < give_up;) {
            pump.tick(*runtime);
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(pump.active_client_count(), before + 1);
    };

    publish_blocks(3);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 0U);
    auto snapshot = std::make_unique<CoreAudioHalRuntime::Snapshot>();
    EXPECT_FALSE(runtime->read_next_output_snapshot(*snapshot));
    EXPECT_EQ(pump.last_frames(), 128U);
    EXPECT_EQ(pump.last_sample_rate(), 48000U);

    UdpTestClient player(pump.input_endpoint().port);
    UdpTestClient listener(pump.input_endpoint().port);
    announce(player, 7, {0, 1});
    announce(listener, 8, {});
    publish_blocks(2);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 2U);
    EXPECT_EQ(received_types(player), (Types{3, 2, 3, 2}));
    EXPECT_EQ(received_types(listener), (Types{3, 3}));
    EXPECT_EQ(debug.snapshot().active_client_count, 2);

    const std::uint32_t idle_before = pump.stats().ticks_without_output;
    publish_blocks(8);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 10U);
    publish_blocks(2);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 12U);
    EXPECT_EQ(received_types(listener).size(), 10U);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().ticks_without_output, idle_before + 1);
    pump.stop();
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
}
