// The receiver on a real socket on 127.0.0.1, driven pass by pass from the test thread.
#include "udp_test_client.h"

#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_udp_input_receiver.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <velmora_compat/os_log_capture.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using VelmoraCore::Ipv4Endpoint;
using VelmoraMac::CoreAudioUdpInputReceiver;
using VelmoraProtocol::PacketBytes;
using VelmoraTest::UdpTestClient;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

constexpr Ipv4Endpoint kAnyLoopbackPort{VelmoraCore::kIpv4Loopback, 0};
constexpr std::uint32_t kNeverLocal = 0xC0000201U; // 192.0.2.1, a documentation address

PacketBytes announce_packet(std::uint32_t client_id, std::vector<std::int64_t> inputs,
                            std::vector<std::int64_t> outputs) {
    VelmoraProtocol::ClientSettings settings;
    settings.client_id = client_id;
    settings.driver_inputs = std::move(inputs);
    settings.driver_outputs = std::move(outputs);
    return VelmoraProtocol::build_announce_packet(settings, 5);
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(debug.initialize());
        receiver.set_debug_state(&debug);
        ASSERT_TRUE(receiver.open(kAnyLoopbackPort, 5000, 1048576, 1048576));
        client.set_server_port(receiver.bound_endpoint().port);
    }
    // Receive passes until the receiver has seen `datagrams` datagrams in all (loopback delivery
    // is immediate, but the machine may be loaded).
    void pump_until(std::uint32_t datagrams) {
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (receiver.stats().datagrams_received < datagrams &&
               std::chrono::steady_clock::now() < give_up) {
            ASSERT_TRUE(receiver.receive_available(*runtime, 64));
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_GE(receiver.stats().datagrams_received, datagrams);
    }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraTest::unique_shared_name("VelmoraDebugStats_test")};
    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime =
        std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    CoreAudioUdpInputReceiver receiver;
    UdpTestClient client;
};

} // namespace

TEST(ReceiverOpen, BindsAndFallsBackWithTheExactLogLines) {
    const std::string bound = "VelmoraCoreAudio UDP receiver bound 127.0.0.1:";
    const std::string not_local = "configuredErrno=" + std::to_string(EADDRNOTAVAIL);
    VelmoraCompat::OsLogCapture capture;
    CoreAudioUdpInputReceiver receiver;
    ASSERT_TRUE(receiver.open(kAnyLoopbackPort, 0, 0, 0));
    EXPECT_EQ(capture.messages(), Lines{bound + std::to_string(receiver.bound_endpoint().port)});
    receiver.close();
    EXPECT_FALSE(receiver.is_open());

    // An address that is not local falls back to loopback on the same port.
    capture.clear();
    const std::uint16_t port = VelmoraTest::free_udp_port();
    ASSERT_TRUE(receiver.open(Ipv4Endpoint{kNeverLocal, port}, 0, 0, 0));
    EXPECT_EQ(receiver.bound_endpoint().address, VelmoraCore::kIpv4Loopback);
    EXPECT_EQ(receiver.bound_endpoint().port, port);
    EXPECT_EQ(capture.messages(), (Lines{"VelmoraCoreAudio UDP bind fallback to loopback " + not_local,
                                         bound + std::to_string(port)}));
    receiver.close();

    // Loopback itself taken: no fallback.
    const UdpTestClient holder;
    const std::string in_use = "errno=" + std::to_string(EADDRINUSE);
    capture.clear();
    EXPECT_FALSE(receiver.open({VelmoraCore::kIpv4Loopback, holder.local_port()}, 0, 0, 0));
    EXPECT_FALSE(receiver.is_open());
    EXPECT_FALSE(receiver.open(Ipv4Endpoint{kNeverLocal, holder.local_port()}, 0, 0, 0));
    EXPECT_EQ(capture.messages(),
              (Lines{"VelmoraCoreAudio UDP bind failed on loopback " + in_use,
                     "VelmoraCoreAudio UDP bind fallback failed " + in_use + " " + not_local}));
}

// At most the given number of datagrams a pass; an empty datagram is rejected and does not end the
// pass (a stream of them must not hold back real packets).
TEST_F(ReceiverTest, PassesAreBoundedAndEmptyDatagramsDoNotEndThem) {
    ASSERT_TRUE(client.send_raw("", 0));
    ASSERT_TRUE(client.send_raw(VelmoraProtocol::build_discovery_request_packet(3, 1)));
    const PacketBytes sync = VelmoraProtocol::build_sync_packet(3, 1, 48000, 128, 0, 0);
    for (int i = 0; i < 129; ++i) {
        ASSERT_TRUE(client.send_raw(sync));
    }
    std::this_thread::sleep_for(200ms); // loopback delivery, late on a loaded machine
    ASSERT_TRUE(receiver.receive_available(*runtime, 64));
    EXPECT_EQ(receiver.stats().control_responses_sent, 1U);
    EXPECT_TRUE(client.receive(2000ms));
    std::uint32_t largest_pass = receiver.stats().datagrams_received;
    for (const auto give_up = std::chrono::steady_clock::now() + 10s;
         receiver.stats().datagrams_received < 130 && std::chrono::steady_clock::now() < give_up;) {
        const std::uint32_t before = receiver.stats().datagrams_received;
        ASSERT_TRUE(receiver.receive_available(*runtime, 64));
        largest_pass = std::max(largest_pass, receiver.stats().datagrams_received - before);
    }
    EXPECT_EQ(receiver.stats().datagrams_received, 130U);
    EXPECT_EQ(largest_pass, 64U);
    EXPECT_EQ(receiver.stats().packets_rejected, 1U + 129U);
}

TEST_F(ReceiverTest, AnnouncesAreLoggedOnlyWhenSomethingChanges) {
    VelmoraCompat::OsLogCapture capture;
    ASSERT_TRUE(client.send_raw(announce_packet(7, {2, 3}, {0, 1})));
    ASSERT_TRUE(client.send_raw(announce_packet(7, {2, 3}, {0, 1})));
    ASSERT_TRUE(client.send_raw(announce_packet(7, {40}, {})));
    // An announce whose header matches its length but whose lists do not.
    PacketBytes damaged = announce_packet(7, {2}, {0});
    damaged.resize(damaged.size() + 2);
    damaged[8] = static_cast<char>(damaged.size());
    ASSERT_TRUE(client.send_raw(damaged));
    pump_until(4);
    EXPECT_EQ(receiver.active_client_count(), 1U);
    EXPECT_EQ(debug.snapshot().active_client_count, 1);
    EXPECT_EQ(receiver.stats().announces_accepted, 2U);
    EXPECT_EQ(receiver.stats().packets_rejected, 2U);
    EXPECT_EQ(capture.messages(),
              (Lines{"VelmoraCoreAudio accepted Announce client=7 inputs=2 outputs=2 session=5 clients=1",
                     "VelmoraCoreAudio rejected Announce client=7 inputs=1 outputs=0 session=5",
                     "VelmoraCoreAudio rejected Announce parse size=42"}));
    EXPECT_EQ(receiver.latency_summary(), (6ULL << 32) | 6ULL);

    capture.clear();
    ASSERT_TRUE(client.disconnect(7, 5));
    pump_until(5);
    EXPECT_EQ(receiver.active_client_count(), 0U);
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
    EXPECT_EQ(capture.messages(), Lines{"VelmoraCoreAudio accepted disconnect Announce client=7 clients=0"});
}

// Input from another port than the client's, or from an unknown client, is rejected and keeps
// nobody alive; close forgets every client.
TEST_F(ReceiverTest, ForeignFragmentsAreRejectedAndCloseForgetsTheClients) {
    ASSERT_TRUE(client.send_raw(announce_packet(7, {5}, {0})));
    pump_until(1);
    const std::uint64_t seen = receiver.clients().find(7)->last_seen_ms;
    std::this_thread::sleep_for(20ms);
    UdpTestClient second(receiver.bound_endpoint().port);
    const std::vector<float> block(128, 1.0F);
    ASSERT_TRUE(second.send_input_block(7, runtime->expected_input_sequence(), 48000, 128, 1, block));
    ASSERT_TRUE(client.send_input_block(99, runtime->expected_input_sequence(), 48000, 128, 1, block));
    pump_until(3);
    EXPECT_EQ(receiver.input_stats().fragments_rejected, 2U);
    EXPECT_EQ(receiver.stats().packets_rejected, 2U);
    EXPECT_EQ(receiver.input_stats().fragments_accepted, 0U);
    EXPECT_EQ(receiver.clients().find(7)->last_seen_ms, seen);
    receiver.close();
    EXPECT_EQ(debug.snapshot().active_client_count, 0);
    EXPECT_FALSE(receiver.receive_available(*runtime, 64));
}
