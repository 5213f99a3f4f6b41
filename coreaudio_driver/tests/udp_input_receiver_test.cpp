// The receiver on a real socket on 127.0.0.1, driven pass by pass from the test thread.
#include "test_names.h"
#include "test_udp_peer.h"

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_udp_input_receiver.h>
#include <velmora/server/debug_shared_state.h>

#include <velmora_compat/os_log_capture.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using VelmoraCore::Ipv4Endpoint;
using VelmoraMac::CoreAudioHalRuntime;
using VelmoraMac::CoreAudioUdpInputReceiver;
using VelmoraProtocol::PacketBytes;
using VelmoraServerTest::TestUdpPeer;
using namespace std::chrono_literals;

namespace {

constexpr Ipv4Endpoint kAnyLoopbackPort{VelmoraCore::kIpv4Loopback, 0};

PacketBytes announce_packet(std::uint32_t client_id, std::vector<std::int64_t> inputs,
                            std::vector<std::int64_t> outputs, std::uint32_t session = 5) {
    VelmoraProtocol::ClientSettings settings;
    settings.client_id = client_id;
    settings.driver_inputs = std::move(inputs);
    settings.driver_outputs = std::move(outputs);
    return VelmoraProtocol::build_announce_packet(settings, session);
}

std::vector<PacketBytes> input_block(std::uint32_t client_id, std::uint32_t sequence, std::size_t channels,
                                     float value, std::uint16_t frames = 128) {
    std::vector<float> block(frames * channels, value);
    std::vector<PacketBytes> datagrams;
    EXPECT_TRUE(VelmoraProtocol::build_audio_fragment_packets(client_id, sequence, 48000, frames, channels, block,
                                                              datagrams, 1200));
    return datagrams;
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(debug.initialize());
        runtime->set_debug_state(&debug);
        receiver.set_debug_state(&debug);
        ASSERT_TRUE(receiver.open(kAnyLoopbackPort, 5000, 1048576, 1048576));
        server = receiver.bound_endpoint();
    }
    void TearDown() override {
        receiver.close();
        runtime->set_debug_state(nullptr);
    }
    // Receive passes until the receiver has seen `datagrams` datagrams in all (loopback delivery
    // is immediate, but the machine may be loaded).
    void pump_until(std::uint32_t datagrams) {
        const auto give_up = std::chrono::steady_clock::now() + 2s;
        while (receiver.stats().datagrams_received < datagrams &&
               std::chrono::steady_clock::now() < give_up) {
            ASSERT_TRUE(receiver.receive_available(*runtime, 64));
            std::this_thread::sleep_for(1ms);
        }
    }
    // One cycle of the device: the input it reads, then a silent output block.
    std::vector<float> device_cycle() {
        std::vector<float> input(32 * 128);
        runtime->read_prepared_input_block(input.data(), 128, 48000);
        runtime->publish_output_block(nullptr, 128, 48000, 1);
        return input;
    }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraServerTest::unique_debug_mapping_name()};
    std::unique_ptr<CoreAudioHalRuntime> runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioUdpInputReceiver receiver;
    Ipv4Endpoint server;
    TestUdpPeer client;
};

} // namespace

TEST(ReceiverOpen, LogsTheBoundEndpoint) {
    VelmoraCompat::OsLogCapture capture;
    CoreAudioUdpInputReceiver receiver;
    ASSERT_TRUE(receiver.open(kAnyLoopbackPort, 0, 0, 0));
    EXPECT_TRUE(receiver.is_open());
    const Ipv4Endpoint bound = receiver.bound_endpoint();
    EXPECT_EQ(bound.address, VelmoraCore::kIpv4Loopback);
    EXPECT_NE(bound.port, 0);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"VelmoraCoreAudio UDP receiver bound 127.0.0.1:" + std::to_string(bound.port)});
    receiver.close();
    EXPECT_FALSE(receiver.is_open());
}

TEST(ReceiverOpen, UnbindableAddressFallsBackToLoopbackOnTheSamePort) {
    VelmoraCompat::OsLogCapture capture;
    const std::uint16_t port = VelmoraServerTest::probe_free_port();
    CoreAudioUdpInputReceiver receiver;
    // 192.0.2.1 is a documentation address, never local.
    ASSERT_TRUE(receiver.open(Ipv4Endpoint{0xC0000201U, port}, 0, 0, 0));
    EXPECT_EQ(receiver.bound_endpoint().address, VelmoraCore::kIpv4Loopback);
    EXPECT_EQ(receiver.bound_endpoint().port, port);
    const std::vector<std::string> lines = capture.messages();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "VelmoraCoreAudio UDP bind fallback to loopback configuredErrno=" + std::to_string(EADDRNOTAVAIL));
    EXPECT_EQ(lines[1], "VelmoraCoreAudio UDP receiver bound 127.0.0.1:" + std::to_string(port));
}

TEST(ReceiverOpen, LoopbackPortInUseFailsWithoutFallback) {
    TestUdpPeer holder;
    ASSERT_TRUE(holder.bound());
    VelmoraCompat::OsLogCapture capture;
    CoreAudioUdpInputReceiver receiver;
    EXPECT_FALSE(receiver.open(holder.endpoint(), 0, 0, 0));
    EXPECT_FALSE(receiver.is_open());
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"VelmoraCoreAudio UDP bind failed on loopback errno=" +
                                       std::to_string(EADDRINUSE)});
}

TEST(ReceiverOpen, FailedFallbackNamesBothErrors) {
    TestUdpPeer holder;
    VelmoraCompat::OsLogCapture capture;
    CoreAudioUdpInputReceiver receiver;
    EXPECT_FALSE(receiver.open(Ipv4Endpoint{0xC0000201U, holder.port()}, 0, 0, 0));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"VelmoraCoreAudio UDP bind fallback failed errno=" +
                                                           std::to_string(EADDRINUSE) + " configuredErrno=" +
                                                           std::to_string(EADDRNOTAVAIL)});
}

TEST_F(ReceiverTest, DiscoveryIsAnsweredWithTheBoundPort) {
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_discovery_request_packet(3, 99), server));
    pump_until(1);
    const auto answer = client.receive(2000ms);
    ASSERT_TRUE(answer);
    VelmoraProtocol::DiscoveryResponsePacket response;
    ASSERT_EQ(VelmoraProtocol::parse_discovery_response_packet(answer->data(), static_cast<int>(answer->size()),
                                                               response),
              VelmoraProtocol::PacketParseResult::ok);
    EXPECT_EQ(response.server_port, server.port);
    EXPECT_EQ(response.nonce, 99U);
    EXPECT_EQ(receiver.stats().control_responses_sent, 1U);
}

TEST_F(ReceiverTest, TimeProbeCarriesOrderedServerTimes) {
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_time_probe_request_packet(3, 8, 12345), server));
    pump_until(1);
    const auto answer = client.receive(2000ms);
    ASSERT_TRUE(answer);
    VelmoraProtocol::TimeProbeResponsePacket response;
    ASSERT_EQ(VelmoraProtocol::parse_time_probe_response_packet(answer->data(), static_cast<int>(answer->size()),
                                                                response),
              VelmoraProtocol::PacketParseResult::ok);
    const std::uint64_t t1 = response.client_send_time_ns, t2 = response.server_receive_time_ns,
                        t3 = response.server_send_time_ns;
    EXPECT_EQ(t1, 12345U);
    EXPECT_GT(t2, 0U);
    EXPECT_GE(t3, t2);
}

TEST_F(ReceiverTest, ServerToClientTypesAreRejectedAndNotAnswered) {
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_sync_packet(3, 1, 48000, 128, 0, 0), server));
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_discovery_response_packet(3, 1, 9), server));
    pump_until(2);
    EXPECT_EQ(receiver.stats().packets_rejected, 2U);
    EXPECT_EQ(receiver.stats().datagrams_received, 2U);
    EXPECT_FALSE(client.receive(100ms));
}

TEST_F(ReceiverTest, AtMostTheGivenNumberOfDatagramsPerPass) {
    const PacketBytes sync = VelmoraProtocol::build_sync_packet(3, 1, 48000, 128, 0, 0);
    for (int i = 0; i < 65; ++i) {
        ASSERT_TRUE(client.send_to(sync, server));
    }
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(receiver.receive_available(*runtime, 64));
    EXPECT_EQ(receiver.stats().datagrams_received, 64U);
    ASSERT_TRUE(receiver.receive_available(*runtime, 64));
    EXPECT_EQ(receiver.stats().datagrams_received, 65U);
}

TEST_F(ReceiverTest, EmptyDatagramIsRejectedAndThePassGoesOn) {
    ASSERT_TRUE(client.send_to("", 0, server));
    ASSERT_TRUE(client.send_to("", 0, server));
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_discovery_request_packet(3, 1), server));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(receiver.receive_available(*runtime, 64));
    EXPECT_EQ(receiver.stats().packets_rejected, 2U);
    EXPECT_EQ(receiver.stats().datagrams_received, 1U);
    EXPECT_EQ(receiver.stats().control_responses_sent, 1U);
    EXPECT_TRUE(client.receive(2000ms));
}

TEST_F(ReceiverTest, AnnounceLifecycleIsLoggedOnlyWhenSomethingChanges) {
    VelmoraCompat::OsLogCapture capture;
    ASSERT_TRUE(client.send_to(announce_packet(7, {2, 3}, {0, 1}), server));
    ASSERT_TRUE(client.send_to(announce_packet(7, {2, 3}, {0, 1}), server));
    ASSERT_TRUE(client.send_to(announce_packet(7, {40}, {}), server));
    pump_until(3);
    EXPECT_EQ(receiver.active_client_count(), 1U);
    EXPECT_EQ(debug.snapshot().active_client_count, 1);
    EXPECT_EQ(receiver.stats().announces_accepted, 2U);
    EXPECT_EQ(receiver.stats().packets_rejected, 1U);
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{
                  "VelmoraCoreAudio accepted Announce client=7 inputs=2 outputs=2 session=5 clients=1",
                  "VelmoraCoreAudio rejected Announce client=7 inputs=1 outputs=0 session=5"}));

    capture.clear();
    ASSERT_TRUE(client.send_to(VelmoraProtocol::build_client_disconnect_packet(7, 5), server));
    pump_until(4);
    EXPECT_EQ(receiver.active_client_count(), 0U);
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
    EXPECT_EQ(receiver.stats().disconnects_accepted, 1U);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"VelmoraCoreAudio accepted disconnect Announce client=7 clients=0"});
}

TEST_F(ReceiverTest, AnnounceThatDoesNotParseIsLoggedWithItsSize) {
    VelmoraCompat::OsLogCapture capture;
    PacketBytes damaged = announce_packet(7, {2}, {0});
    damaged.push_back(0);
    damaged.push_back(0);
    damaged[8] = static_cast<char>(damaged.size()); // the header still matches the length
    ASSERT_TRUE(client.send_to(damaged, server));
    pump_until(1);
    EXPECT_EQ(receiver.stats().packets_rejected, 1U);
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"VelmoraCoreAudio rejected Announce parse size=42"});
}

TEST_F(ReceiverTest, InputFromTwoClientsIsSummedIntoTheDevicesNextBlock) {
    TestUdpPeer second;
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {}), server));
    ASSERT_TRUE(second.send_to(announce_packet(8, {5, 6}, {}), server));
    pump_until(2);
    ASSERT_EQ(receiver.active_client_count(), 2U);
    const std::uint32_t sequence = runtime->expected_input_sequence() + 2;
    for (const PacketBytes& datagram : input_block(7, sequence, 1, 0.25F)) {
        ASSERT_TRUE(client.send_to(datagram, server));
    }
    for (const PacketBytes& datagram : input_block(8, sequence, 2, 0.5F)) {
        ASSERT_TRUE(second.send_to(datagram, server));
    }
    pump_until(4);
    EXPECT_EQ(receiver.input_stats().blocks_completed, 2U);
    EXPECT_EQ(receiver.input_stats().last_published_sequence, sequence);
    EXPECT_EQ(receiver.input_stats().last_published_frames, 128U);
    device_cycle();
    device_cycle();
    const std::vector<float> input = device_cycle();
    EXPECT_EQ(input[5 * 128], 0.75F);
    EXPECT_EQ(input[6 * 128 + 127], 0.5F);
    EXPECT_EQ(input[4 * 128], 0.0F);
    EXPECT_EQ(debug.snapshot().exact_match_count, 1);
}

TEST_F(ReceiverTest, InputBehindTheDeviceIsCountedLateAndNeverPublished) {
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {}), server));
    pump_until(1);
    for (int i = 0; i < 10; ++i) {
        device_cycle();
    }
    for (const PacketBytes& datagram : input_block(7, 4, 1, 1.0F)) {
        ASSERT_TRUE(client.send_to(datagram, server));
    }
    pump_until(2);
    EXPECT_EQ(receiver.input_stats().blocks_completed, 1U);
    EXPECT_EQ(receiver.input_stats().late_drops, 1U);
    EXPECT_EQ(debug.snapshot().late_drop_count, 1);
    EXPECT_EQ(receiver.input_stats().last_published_frames, 0U);
}

TEST_F(ReceiverTest, InputSixtyFourBlocksAheadCannotReachTheDevice) {
    TestUdpPeer second;
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {}), server));
    ASSERT_TRUE(second.send_to(announce_packet(8, {5}, {}), server));
    pump_until(2);
    const std::uint32_t next = runtime->expected_input_sequence();
    for (const PacketBytes& datagram : input_block(7, next, 1, 0.25F)) {
        ASSERT_TRUE(client.send_to(datagram, server));
    }
    // A client with a latency of 64 blocks aims at the same ring slot.
    for (const PacketBytes& datagram : input_block(8, next + 64, 1, 9.0F)) {
        ASSERT_TRUE(second.send_to(datagram, server));
    }
    pump_until(4);
    EXPECT_EQ(receiver.input_stats().late_drops, 1U);
    EXPECT_EQ(receiver.input_stats().last_published_sequence, next);
    EXPECT_EQ(device_cycle()[5 * 128], 0.25F);
}

TEST_F(ReceiverTest, FragmentsFromAnotherPortAreRejectedAndKeepNobodyAlive) {
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {}), server));
    pump_until(1);
    const std::uint64_t seen = receiver.clients().find(7)->last_seen_ms;
    std::this_thread::sleep_for(20ms);
    TestUdpPeer impostor;
    for (const PacketBytes& datagram : input_block(7, runtime->expected_input_sequence(), 1, 1.0F)) {
        ASSERT_TRUE(impostor.send_to(datagram, server));
    }
    // And one from a client id nobody announced.
    for (const PacketBytes& datagram : input_block(99, runtime->expected_input_sequence(), 1, 1.0F)) {
        ASSERT_TRUE(client.send_to(datagram, server));
    }
    pump_until(3);
    EXPECT_EQ(receiver.input_stats().fragments_rejected, 2U);
    EXPECT_EQ(receiver.stats().packets_rejected, 2U);
    EXPECT_EQ(receiver.input_stats().fragments_accepted, 0U);
    EXPECT_EQ(receiver.clients().find(7)->last_seen_ms, seen);
}

TEST_F(ReceiverTest, MalformedDatagramsAreCountedAndIgnored) {
    PacketBytes bad_magic = VelmoraProtocol::build_discovery_request_packet(3, 1);
    bad_magic[0] = 'X';
    PacketBytes zero_client = VelmoraProtocol::build_discovery_request_packet(3, 1);
    zero_client[12] = 0;
    PacketBytes unknown_type = VelmoraProtocol::build_discovery_request_packet(3, 1);
    unknown_type[6] = 9;
    const char garbage[] = "hello, server";
    ASSERT_TRUE(client.send_to(bad_magic, server));
    ASSERT_TRUE(client.send_to(zero_client, server));
    ASSERT_TRUE(client.send_to(unknown_type, server));
    ASSERT_TRUE(client.send_to(garbage, sizeof garbage, server));
    ASSERT_TRUE(client.send_to(garbage, 3, server));
    pump_until(5);
    EXPECT_EQ(receiver.stats().datagrams_received, 5U);
    EXPECT_EQ(receiver.stats().packets_rejected, 5U);
    EXPECT_FALSE(client.receive(100ms));
}

TEST_F(ReceiverTest, CloseForgetsClientsAndZeroesTheDebugCount) {
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {0}), server));
    pump_until(1);
    ASSERT_EQ(debug.snapshot().active_client_count, 1);
    EXPECT_EQ(receiver.latency_summary(), (6ULL << 32) | 6ULL);
    receiver.close();
    EXPECT_EQ(receiver.active_client_count(), 0U);
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
    EXPECT_FALSE(receiver.receive_available(*runtime, 64));
    EXPECT_FALSE(receiver.send_packet(VelmoraProtocol::build_sync_packet(7, 0, 1, 1, 0, 0), client.endpoint()));
}

TEST_F(ReceiverTest, SendsGoOutWholeAndEmptyBatchesFail) {
    EXPECT_FALSE(receiver.send_packet({}, client.endpoint()));
    EXPECT_FALSE(receiver.send_packet_batch({}, client.endpoint()));
    const std::vector<PacketBytes> batch{VelmoraProtocol::build_sync_packet(7, 1, 48000, 128, 0, 0),
                                         VelmoraProtocol::build_sync_packet(7, 2, 48000, 128, 0, 0)};
    EXPECT_TRUE(receiver.send_packet_batch(batch, client.endpoint()));
    EXPECT_EQ(client.receive(2000ms), batch[0]);
    EXPECT_EQ(client.receive(2000ms), batch[1]);
    EXPECT_FALSE(receiver.send_packet_batch({batch[0], {}, batch[1]}, client.endpoint()));
    EXPECT_EQ(client.receive(2000ms), batch[0]);
    EXPECT_FALSE(client.receive(50ms));
}

TEST(ReceiverExpiry, SilentClientsGoAfterTheTimeout) {
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioUdpInputReceiver receiver;
    ASSERT_TRUE(receiver.open(kAnyLoopbackPort, 150, 0, 0));
    TestUdpPeer client;
    ASSERT_TRUE(client.send_to(announce_packet(7, {5}, {0}), receiver.bound_endpoint()));
    const auto give_up = std::chrono::steady_clock::now() + 3s;
    while (receiver.active_client_count() == 0 && std::chrono::steady_clock::now() < give_up) {
        receiver.receive_available(*runtime, 64);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(receiver.active_client_count(), 1U);
    const auto announced = std::chrono::steady_clock::now();
    while (receiver.active_client_count() == 1 && std::chrono::steady_clock::now() < give_up + 3s) {
        receiver.receive_available(*runtime, 64);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(receiver.active_client_count(), 0U);
    EXPECT_GE(std::chrono::steady_clock::now() - announced, 140ms);
}
