// The pump on a real socket, ticked by hand from the test thread.
#include "test_names.h"
#include "test_udp_peer.h"

#include <velmora/platform/clocks.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_pump.h>
#include <velmora/server/debug_shared_state.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using VelmoraMac::CoreAudioHalRuntime;
using VelmoraMac::CoreAudioNetworkPump;
using VelmoraProtocol::PacketBytes;
using VelmoraServerTest::TestUdpPeer;
using namespace std::chrono_literals;

namespace {

CoreAudioNetworkPump::Config loopback_config() {
    CoreAudioNetworkPump::Config config;
    config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
    return config;
}

// Every client feeds input channel 4, so an empty output map is not a disconnect.
PacketBytes announce_packet(std::uint32_t client_id, std::vector<std::int64_t> outputs) {
    VelmoraProtocol::ClientSettings settings;
    settings.client_id = client_id;
    settings.driver_inputs = {4};
    settings.driver_outputs = std::move(outputs);
    return VelmoraProtocol::build_announce_packet(settings, 1);
}

class PumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(debug.initialize());
        runtime->set_debug_state(&debug);
        pump.set_debug_state(&debug);
        ASSERT_TRUE(pump.start(loopback_config()));
    }
    void TearDown() override {
        pump.stop();
        runtime->set_debug_state(nullptr);
    }
    void announce(const TestUdpPeer& peer, std::uint32_t client_id, std::vector<std::int64_t> outputs) {
        const std::uint32_t before = pump.active_client_count();
        ASSERT_TRUE(peer.send_to(announce_packet(client_id, std::move(outputs)), pump.input_endpoint()));
        const auto give_up = std::chrono::steady_clock::now() + 2s;
        while (pump.active_client_count() == before && std::chrono::steady_clock::now() < give_up) {
            pump.tick(*runtime);
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(pump.active_client_count(), before + 1);
    }
    void publish_blocks(int count) {
        std::vector<float> samples(32 * 128, 0.5F);
        for (int i = 0; i < count; ++i) {
            runtime->publish_output_block(samples.data(), 128, 48000, VelmoraPlatform::host_time_nanoseconds());
        }
    }
    // Types of everything the peer has received by now.
    std::vector<std::uint16_t> received_types(const TestUdpPeer& peer) {
        std::vector<std::uint16_t> types;
        while (auto packet = peer.receive(200ms)) {
            types.push_back(VelmoraServerTest::packet_type(*packet));
        }
        return types;
    }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraServerTest::unique_debug_mapping_name()};
    std::unique_ptr<CoreAudioHalRuntime> runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioNetworkPump pump;
};

} // namespace

TEST(PumpStart, PayloadOutsideTheDatagramRangeFailsBeforeAnySocket) {
    CoreAudioNetworkPump pump;
    for (std::size_t payload : {51U, 65508U}) {
        CoreAudioNetworkPump::Config config = loopback_config();
        config.payload_bytes = payload;
        EXPECT_FALSE(pump.start(config)) << payload;
        EXPECT_FALSE(pump.is_running());
        EXPECT_EQ(pump.input_endpoint().port, 0);
    }
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    EXPECT_FALSE(pump.tick(*runtime));
}

TEST_F(PumpTest, WithoutClientsQueuedBlocksAreConsumedAndDropped) {
    publish_blocks(3);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 0U);
    EXPECT_EQ(pump.stats().ticks_without_output, 1U);
    EXPECT_EQ(pump.stats().ticks, 1U);
    auto snapshot = std::make_unique<CoreAudioHalRuntime::Snapshot>();
    EXPECT_FALSE(runtime->read_next_output_snapshot(*snapshot));
    EXPECT_EQ(pump.last_frames(), 128U);
    EXPECT_EQ(pump.last_sample_rate(), 48000U);
}

TEST_F(PumpTest, EachBlockGoesOutAsSyncThenFragmentsAndAnEmptyMapGetsOnlySyncs) {
    TestUdpPeer player;
    TestUdpPeer listener;
    announce(player, 7, {0, 1});
    announce(listener, 8, {});
    publish_blocks(2);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 2U);
    EXPECT_EQ(received_types(player), (std::vector<std::uint16_t>{3, 2, 3, 2}));
    EXPECT_EQ(received_types(listener), (std::vector<std::uint16_t>{3, 3}));
    EXPECT_GT(debug.snapshot().max_output_enqueue_to_send_us, -1);
    EXPECT_EQ(debug.snapshot().active_client_count, 2);
}

TEST_F(PumpTest, AtMostEightBlocksPerTick) {
    TestUdpPeer listener;
    announce(listener, 8, {});
    const std::uint32_t idle_before = pump.stats().ticks_without_output;
    publish_blocks(8);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 8U);
    publish_blocks(2);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().snapshots_sent, 10U);
    EXPECT_EQ(received_types(listener).size(), 10U);
    ASSERT_TRUE(pump.tick(*runtime));
    EXPECT_EQ(pump.stats().ticks_without_output, idle_before + 1);
}

TEST_F(PumpTest, RestartRebindsAndEmptiesTheTable) {
    TestUdpPeer listener;
    announce(listener, 8, {});
    pump.stop();
    EXPECT_FALSE(pump.is_running());
    EXPECT_EQ(pump.active_client_count(), 0U);
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
    ASSERT_TRUE(pump.start(loopback_config()));
    EXPECT_EQ(pump.active_client_count(), 0U);
    EXPECT_NE(pump.input_endpoint().port, 0);
    EXPECT_EQ(pump.stats().ticks, 0U);
}
