// The pump on a real socket, ticked by hand from the test thread. What reaches a client (a sync,
// then fragments of exactly its channels) is shown through the whole server; here, what only the
// pump decides.
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
using namespace std::chrono_literals;

// Without clients queued blocks are consumed and dropped; a tick sends all a full queue holds; stop
// forgets the clients.
TEST(NetworkPump, BlocksWithoutClientsAreDroppedAndAListenerGetsSyncsAlone) {
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
    publish_blocks(3);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 0U);
    auto snapshot = std::make_unique<CoreAudioHalRuntime::Snapshot>();
    EXPECT_FALSE(runtime->read_next_output_snapshot(*snapshot));

    // A listener (input only): syncs alone, one a block.
    VelmoraTest::UdpTestClient listener(pump.input_endpoint().port);
    ASSERT_TRUE(listener.announce(8, 1, {4}, {}));
    for (const auto give_up = std::chrono::steady_clock::now() + 10s;
         pump.active_client_count() == 0 && std::chrono::steady_clock::now() < give_up;) {
        pump.tick(*runtime);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(pump.active_client_count(), 1U);
    const std::uint32_t idle_before = pump.stats().ticks_without_output;
    publish_blocks(8); // a full queue
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 8U);
    publish_blocks(2);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 10U);
    std::vector<std::uint16_t> types;
    while (auto packet = listener.receive(200ms)) {
        types.push_back(VelmoraTest::packet_type(*packet));
    }
    EXPECT_EQ(types, std::vector<std::uint16_t>(10, 3));
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().ticks_without_output, idle_before + 1);
    pump.stop();
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
}
