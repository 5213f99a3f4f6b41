// The driver over the real network server, in-process: its IO cycles on a thread of their own,
// clients on loopback sockets. What the server counts is read from the server itself.
#include "driver_test_fixture.h"
#include "malformed_datagrams.h"
#include "udp_test_client.h"

#include <velmora/driver/network_server_control.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::UdpTestClient;

class NetworkDriverTest : public ::testing::Test {
protected:
    NetworkDriverTest()
        : debug_(VelmoraTest::unique_shared_name("VelmoraDebugStats_nettest")),
          runtime_(std::make_unique<VelmoraMac::CoreAudioHalRuntime>()),
          driver_(std::make_unique<VelmoraMac::CoreAudioPlugInDriver>(*runtime_, debug_, server_)),
          host_(driver_->driver_ref()),
          port_(VelmoraTest::free_udp_port()),
          config_("[network]\nlisten_port = " + std::to_string(port_) + "\n") {}

    void SetUp() override {
        ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
        ASSERT_EQ(host_.table().StartIO(host_.driver(), 2, 1), kAudioHardwareNoError);
        io_thread_ = std::thread([this] { run_cycles(); });
    }
    void TearDown() override {
        stop_ = true;
        io_thread_.join();
        host_.table().StopIO(host_.driver(), 2, 1);
        host_.remove_client();
    }

    // 128-frame cycles at 48 kHz, scheduled from the start time.
    void run_cycles() {
        std::vector<float> input(32 * 128);
        std::vector<float> output(32 * 128, 0.0f);
        auto deadline = std::chrono::steady_clock::now();
        while (!stop_) {
            deadline += std::chrono::microseconds(2667);
            std::this_thread::sleep_until(deadline);
            auto& table = host_.table();
            table.BeginIOOperation(host_.driver(), 2, 1, kAudioServerPlugInIOOperationCycle, 128, nullptr);
            table.DoIOOperation(host_.driver(), 2, 3, 1, kAudioServerPlugInIOOperationReadInput, 128, nullptr,
                                input.data(), nullptr);
            table.DoIOOperation(host_.driver(), 2, 4, 1, kAudioServerPlugInIOOperationWriteMix, 128, nullptr,
                                output.data(), nullptr);
            table.EndIOOperation(host_.driver(), 2, 1, kAudioServerPlugInIOOperationCycle, 128, nullptr);
        }
    }

    VelmoraMac::CoreAudioNetworkServerControl server_;
    VelmoraMac::CoreAudioDebugSharedState debug_;
    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime_;
    std::unique_ptr<VelmoraMac::CoreAudioPlugInDriver> driver_;
    VelmoraTest::PlugInTestHost host_;
    std::uint16_t port_;
    VelmoraTest::TemporaryDriverConfig config_;
    std::atomic<bool> stop_{false};
    std::thread io_thread_;
};

TEST_F(NetworkDriverTest, MalformedDatagramsAreCountedAndNeverAnswered) {
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(501, 1, {0, 1}, {0, 1}, 4));
    UdpTestClient::Events events;
    client.receive_for(300ms, events);
    ASSERT_GT(events.syncs.size(), 20u) << "a valid client is served before the flood";

    const auto before = server_.server().udp_input_stats();
    UdpTestClient attacker;
    attacker.set_server_port(port_);
    const auto datagrams = VelmoraTest::malformed_datagrams(1000, 502);
    UdpTestClient::Events attacker_events;
    events = {};
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        ASSERT_TRUE(attacker.send_raw(datagrams[i]));
        // Batches small enough for the server's socket buffer, so every datagram is read.
        if (i % 50 == 49) {
            client.receive_for(10ms, events);
        }
    }
    client.receive_for(500ms, events);
    attacker.receive_for(100ms, attacker_events);

    const auto after = server_.server().udp_input_stats();
    EXPECT_EQ(after.packets_rejected - before.packets_rejected, 1000u);
    EXPECT_EQ(after.datagrams_received - before.datagrams_received, 1000u);
    EXPECT_EQ(after.control_responses_sent, before.control_responses_sent);
    EXPECT_EQ(attacker_events.syncs.size() + attacker_events.blocks.size(), 0u);
    EXPECT_EQ(attacker_events.other_datagrams, 0);
    EXPECT_TRUE(server_.is_running());
    EXPECT_EQ(server_.server().active_client_count(), 1u);
    // The valid client went on receiving blocks, in order (a loaded machine may drop a few from
    // the device's queue, which the sequence then skips).
    ASSERT_GT(events.syncs.size(), 100u);
    std::size_t consecutive = 0;
    for (std::size_t i = 1; i < events.syncs.size(); ++i) {
        ASSERT_TRUE(VelmoraProtocol::is_sequence_newer(events.syncs[i].sequence, events.syncs[i - 1].sequence)) << i;
        consecutive += events.syncs[i].sequence == events.syncs[i - 1].sequence + 1 ? 1 : 0;
    }
    EXPECT_GT(consecutive * 10, (events.syncs.size() - 1) * 9);
}

} // namespace
