// The whole server side on 127.0.0.1: a real CoreAudioNetworkServer with its own thread, a test
// thread standing in for the device's IO thread (one 128-frame block every 2.67 ms at 48 kHz),
// and test clients built from the protocol library alone. Bounds are loose: the machine may be
// loaded, and a sanitizer build is slow.
#include "malformed_datagrams.h"
#include "udp_test_client.h"

#include <velmora/platform/clocks.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_server.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using VelmoraMac::CoreAudioHalRuntime;
using VelmoraMac::CoreAudioNetworkServer;
using VelmoraProtocol::SyncPacket;
using VelmoraTest::UdpTestClient;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint16_t kFrames = 128;

// Exactly representable, different for every sequence (mod 512), channel and frame.
float output_pattern(std::uint32_t sequence, std::size_t channel, std::size_t frame) {
    return static_cast<float>(((sequence % 512U) * 32U + channel) * kFrames + frame);
}

// Stands in for the host's IO thread: each cycle reads the device input (keeping what channels 5
// and 6 held), then publishes the output pattern, on a fixed schedule from its start.
struct DeviceStandIn {
    struct Read {
        bool valid;
        std::uint32_t sequence, expected;
        float channel5, channel6;
    };
    explicit DeviceStandIn(CoreAudioHalRuntime& device_runtime) : runtime(device_runtime) {}
    void run() {
        std::vector<float> input(32 * kFrames), output(32 * kFrames);
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t cycle = 1; !stop.load(); ++cycle) {
            const std::uint32_t expected = runtime.expected_input_sequence();
            const auto timeline = runtime.read_prepared_input_block(input.data(), kFrames, kRate);
            for (std::size_t i = 0; i < output.size(); ++i) {
                output[i] = output_pattern(expected, i / kFrames, i % kFrames);
            }
            runtime.publish_output_block(output.data(), kFrames, kRate,
                                         VelmoraPlatform::host_time_nanoseconds());
            {
                std::lock_guard<std::mutex> lock(mutex);
                reads.push_back({timeline.sample_rate != 0, timeline.sequence, expected, input[5 * kFrames],
                                 input[7 * kFrames - 1]});
            }
            std::this_thread::sleep_until(start +
                                          std::chrono::nanoseconds(cycle * kFrames * 1000000000ULL / kRate));
        }
    }
    ~DeviceStandIn() {
        stop.store(true);
        thread.join();
    }

    CoreAudioHalRuntime& runtime;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<Read> reads;
    std::thread thread{[this] { run(); }};
};

template <typename Condition>
bool wait_for(Condition condition) {
    for (const auto give_up = std::chrono::steady_clock::now() + 10s; !condition();) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(debug.initialize());
        runtime->set_debug_state(&debug);
    }
    void TearDown() override {
        device.reset();
        server.stop();
        runtime->set_debug_state(nullptr);
    }
    // Starts the server and the device stand-in.
    void start() {
        CoreAudioNetworkServer::Config config;
        config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
        config.client_timeout_ms = 5000;
        ASSERT_TRUE(server.start(runtime.get(), config, &debug));
        port = server.input_endpoint().port;
        device = std::make_unique<DeviceStandIn>(*runtime);
    }
    // A client that has announced itself, once the server has taken it.
    std::unique_ptr<UdpTestClient> announced(std::uint32_t id, std::vector<std::int64_t> inputs,
                                             std::vector<std::int64_t> outputs) {
        auto client = std::make_unique<UdpTestClient>(port);
        const std::uint32_t before = server.active_client_count();
        EXPECT_TRUE(client->announce(id, 11, inputs, outputs));
        EXPECT_TRUE(wait_for([&] { return server.active_client_count() > before; }));
        return client;
    }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraTest::unique_shared_name("VelmoraDebugStats_test")};
    std::unique_ptr<CoreAudioHalRuntime> runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioNetworkServer server;
    std::unique_ptr<DeviceStandIn> device;
    std::uint16_t port = 0;
};

} // namespace

TEST(ServerLifecycle, StartStopRestartAndRefusals) {
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioNetworkServer server;
    CoreAudioNetworkServer::Config config;
    config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
    config.payload_bytes = 51;
    EXPECT_FALSE(server.start(runtime.get(), config, nullptr));
    config.payload_bytes = 1200;
    config.tick_period_us = 0;
    ASSERT_TRUE(server.start(runtime.get(), config, nullptr));
    EXPECT_TRUE(wait_for([&] { return server.stats().loops > 3; }));
    ASSERT_TRUE(server.start(runtime.get(), config, nullptr)) << "a running server restarts";
    EXPECT_NE(server.input_endpoint().port, 0);
    server.stop();
    EXPECT_FALSE(server.is_running());
    EXPECT_EQ(server.input_endpoint().port, 0);
}

TEST_F(ServerTest, AnswersDiscoveryAndTimeProbesWithItsBoundPort) {
    start();
    UdpTestClient asker(port);
    ASSERT_TRUE(asker.send_raw(VelmoraProtocol::build_discovery_request_packet(21, 5)));
    EXPECT_EQ(asker.receive(5000ms), VelmoraProtocol::build_discovery_response_packet(21, 5, port));
    ASSERT_TRUE(asker.send_raw(VelmoraProtocol::build_time_probe_request_packet(21, 6, 12345)));
    const auto answer = asker.receive(5000ms);
    ASSERT_TRUE(answer);
    VelmoraProtocol::TimeProbeResponsePacket probe;
    ASSERT_EQ(parse_time_probe_response_packet(answer->data(), static_cast<int>(answer->size()), probe),
              VelmoraProtocol::PacketParseResult::ok);
    EXPECT_EQ(probe.client_send_time_ns, 12345U);
    EXPECT_GT(probe.server_receive_time_ns, 0U);
    EXPECT_GE(probe.server_send_time_ns, probe.server_receive_time_ns);
}

// Two clients: each gets syncs and blocks of exactly its output channels; their input, aimed 12
// blocks (32 ms) ahead so a loaded machine still delivers most in time, is summed into the device
// input at the sequence they aim for.
TEST_F(ServerTest, TwoClientsGetTheirChannelsAndTheirInputIsSummed) {
    start();
    auto first = announced(41, {5}, {3, 17});
    auto second = announced(42, {5, 6}, {1});
    constexpr std::uint32_t kLatency = 12;
    auto a = [](std::uint32_t s) { return static_cast<float>(s % 1000U); };
    auto b = [](std::uint32_t s) { return 2000.0F + static_cast<float>(s % 1000U); };
    auto b6 = [](std::uint32_t s) { return 5000.0F + static_cast<float>(s % 1000U); };
    UdpTestClient::Events first_events, second_events;
    int full_sums = 0, wrong = 0;
    for (const auto give_up = std::chrono::steady_clock::now() + 20s;
         full_sums < 100 && std::chrono::steady_clock::now() < give_up;) {
        first->receive_for(2ms, first_events, [&](const SyncPacket& sync) {
            const std::uint32_t s = sync.sequence + kLatency;
            first->send_input_block(41, s, kRate, kFrames, 1, std::vector<float>(kFrames, a(s)));
        });
        second->receive_for(1ms, second_events, [&](const SyncPacket& sync) {
            const std::uint32_t s = sync.sequence + kLatency;
            std::vector<float> block(kFrames, b(s));
            block.resize(2 * kFrames, b6(s));
            second->send_input_block(42, s, kRate, kFrames, 2, block);
        });
        full_sums = wrong = 0;
        std::lock_guard<std::mutex> lock(device->mutex);
        for (const DeviceStandIn::Read& read : device->reads) {
            const std::uint32_t s = read.sequence;
            // A block read before both clients' input arrived holds what had arrived.
            const bool ok5 = read.channel5 == a(s) || read.channel5 == b(s) || read.channel5 == a(s) + b(s);
            const bool ok6 = read.channel6 == 0.0F || read.channel6 == b6(s);
            wrong += !read.valid || (ok5 && ok6) ? 0 : 1;
            full_sums += read.valid && s == read.expected && read.channel5 == a(s) + b(s) ? 1 : 0;
        }
    }
    EXPECT_EQ(wrong, 0);
    // Normally 100 arrive within half a second; under sanitizers on a loaded machine much input
    // comes late, so ask for fewer.
    EXPECT_GE(full_sums, 20);
    EXPECT_GE(debug.snapshot().exact_match_count, 20);
    EXPECT_EQ(first_events.other_datagrams + second_events.other_datagrams, 0);
    const std::pair<UdpTestClient::Events*, std::vector<std::size_t>> clients[] = {{&first_events, {3, 17}},
                                                                                   {&second_events, {1}}};
    for (const auto& [events, channels] : clients) {
        EXPECT_GT(events->blocks.size(), 20U);
        for (const auto& block : events->blocks) {
            ASSERT_EQ(block.channel_count, channels.size());
            for (std::size_t i = 0; i < block.samples.size(); ++i) {
                ASSERT_EQ(block.samples[i],
                          output_pattern(block.sequence, channels[i / kFrames], i % kFrames));
            }
        }
        for (const auto& sync : events->syncs) {
            ASSERT_TRUE(sync.sample_rate == kRate && sync.frame_count == kFrames);
        }
    }
}

TEST_F(ServerTest, InputForBlocksAlreadyPlayedIsCountedLate) {
    start();
    auto client = announced(51, {5}, {});
    UdpTestClient::Events events;
    ASSERT_TRUE(wait_for([&] {
        client->receive_for(2ms, events, [&](const SyncPacket& sync) {
            client->send_input_block(51, sync.sequence - 3, kRate, kFrames, 1,
                                     std::vector<float>(kFrames, 1.0F));
        });
        return debug.snapshot().late_drop_count >= 20;
    }));
    EXPECT_GE(server.input_stats().late_drops, 20U);
    EXPECT_EQ(server.input_stats().last_published_frames, 0U);
    EXPECT_EQ(debug.snapshot().exact_match_count, 0);
}

// A client that disconnects goes at once and is sent nothing afterwards. (Expiry after the time-out
// is shown through the server process.)
TEST_F(ServerTest, DisconnectedClientsGoAtOnce) {
    start();
    auto leaving = announced(71, {}, {0});
    ASSERT_TRUE(leaving->disconnect(71, 11));
    ASSERT_TRUE(wait_for([&] { return debug.snapshot().active_client_count == 0; }));
    EXPECT_EQ(server.udp_input_stats().disconnects_accepted, 1U);
    leaving->drain(100ms); // what was in flight
    EXPECT_FALSE(leaving->receive(200ms)) << "nothing is sent to a client that left";
}

TEST_F(ServerTest, MalformedAndForeignDatagramsAreCountedAndIgnored) {
    start();
    auto client = announced(81, {}, {0});
    UdpTestClient stranger(port);
    const std::uint32_t rejected_before = server.udp_input_stats().packets_rejected;
    for (const auto& datagram : VelmoraTest::malformed_datagrams(100, 99)) {
        ASSERT_TRUE(stranger.send_raw(datagram));
    }
    ASSERT_TRUE(stranger.send_raw("", 0));
    EXPECT_TRUE(wait_for([&] { return server.udp_input_stats().packets_rejected - rejected_before >= 101; }));
    EXPECT_EQ(server.udp_input_stats().packets_rejected - rejected_before, 101U);
    EXPECT_FALSE(stranger.receive(100ms));
    EXPECT_EQ(server.active_client_count(), 1U);
    UdpTestClient::Events events;
    EXPECT_TRUE(wait_for([&] {
        client->receive_for(5ms, events);
        return events.blocks.size() > 5;
    })) << "the announced client is still served";
}
