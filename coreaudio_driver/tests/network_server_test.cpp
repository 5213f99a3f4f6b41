// The whole server side on 127.0.0.1: a real CoreAudioNetworkServer with its own thread, a test
// thread standing in for the device's IO thread (one 128-frame block every 2.67 ms at 48 kHz),
// and test clients built from the protocol library alone.
#include "test_names.h"
#include "test_udp_peer.h"

#include <velmora/platform/clocks.h>
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_server.h>
#include <velmora/server/debug_shared_state.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using VelmoraCore::Ipv4Endpoint;
using VelmoraMac::CoreAudioHalBlockTimeline;
using VelmoraMac::CoreAudioHalRuntime;
using VelmoraMac::CoreAudioNetworkServer;
using VelmoraProtocol::PacketBytes;
using VelmoraProtocol::PacketParseResult;
using VelmoraServerTest::TestUdpPeer;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint16_t kFrames = 128;

// Exactly representable, different for every sequence (mod 512), channel and frame.
float output_pattern(std::uint32_t sequence, std::size_t channel, std::size_t frame) {
    return static_cast<float>(((sequence % 512U) * 32U + channel) * kFrames + frame);
}

// Stands in for the host's IO thread: each cycle reads the device input, then publishes the
// output, on a fixed schedule from its start.
class DeviceStandIn {
public:
    struct Read {
        CoreAudioHalBlockTimeline timeline;
        std::uint32_t expected = 0;
        float channel5 = 0;
        float channel6 = 0;
    };

    explicit DeviceStandIn(CoreAudioHalRuntime& runtime) : runtime_(runtime), thread_([this] { run(); }) {}
    ~DeviceStandIn() {
        stop_.store(true);
        thread_.join();
    }
    std::vector<Read> reads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_;
    }

private:
    void run() {
        std::vector<float> input(32 * kFrames);
        std::vector<float> output(32 * kFrames);
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t cycle = 1; !stop_.load(); ++cycle) {
            const std::uint32_t expected = runtime_.expected_input_sequence();
            Read read;
            read.expected = expected;
            read.timeline = runtime_.read_prepared_input_block(input.data(), kFrames, kRate);
            read.channel5 = input[5 * kFrames];
            read.channel6 = input[6 * kFrames + kFrames - 1];
            for (std::size_t c = 0; c < 32; ++c) {
                for (std::size_t f = 0; f < kFrames; ++f) {
                    output[c * kFrames + f] = output_pattern(expected, c, f);
                }
            }
            runtime_.publish_output_block(output.data(), kFrames, kRate, VelmoraPlatform::host_time_nanoseconds());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reads_.push_back(read);
            }
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(cycle * kFrames * 1000000000ULL / kRate));
        }
    }

    CoreAudioHalRuntime& runtime_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Read> reads_;
    std::thread thread_;
};

// A client engine made of the protocol library alone.
class TestEngine {
public:
    TestEngine(std::uint32_t client_id, Ipv4Endpoint server) : client_id_(client_id), server_(server) {}

    void announce(std::vector<std::int64_t> inputs, std::vector<std::int64_t> outputs, std::uint32_t session = 11) {
        VelmoraProtocol::ClientSettings settings;
        settings.client_id = client_id_;
        settings.driver_inputs = std::move(inputs);
        settings.driver_outputs = std::move(outputs);
        outputs_ = settings.driver_outputs.size();
        session_ = session;
        ASSERT_TRUE(peer_.send_to(VelmoraProtocol::build_announce_packet(settings, session), server_));
    }
    void disconnect() {
        ASSERT_TRUE(peer_.send_to(VelmoraProtocol::build_client_disconnect_packet(client_id_, session_), server_));
    }
    // One input block for `sequence`: client channel i carries values[i] in every frame.
    void send_input(std::uint32_t sequence, const std::vector<float>& values) {
        std::vector<float> block(values.size() * kFrames);
        for (std::size_t c = 0; c < values.size(); ++c) {
            std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(c * kFrames), kFrames, values[c]);
        }
        std::vector<PacketBytes> datagrams;
        ASSERT_TRUE(VelmoraProtocol::build_audio_fragment_packets(client_id_, sequence, kRate, kFrames, values.size(),
                                                                  block, datagrams, 1200));
        for (const PacketBytes& datagram : datagrams) {
            ASSERT_TRUE(peer_.send_to(datagram, server_));
        }
    }

    // Handles whatever has arrived, waiting up to `wait` for the first datagram; returns the
    // sequences of the sync packets among it.
    std::vector<std::uint32_t> poll(std::chrono::milliseconds wait) {
        std::vector<std::uint32_t> syncs;
        auto packet = peer_.receive(wait);
        while (packet) {
            handle(*packet, syncs);
            packet = peer_.receive(0ms);
        }
        return syncs;
    }

    TestUdpPeer& peer() { return peer_; }
    std::size_t packets_seen() const { return packets_seen_; }
    std::size_t foreign_packets() const { return foreign_packets_; }
    std::size_t fragments_out_of_shape() const { return fragments_out_of_shape_; }
    std::size_t blocks_without_sync() const { return blocks_without_sync_; }
    const std::map<std::uint32_t, std::vector<float>>& blocks() const { return blocks_; }
    const std::set<std::uint32_t>& sync_sequences() const { return sync_sequences_; }

private:
    void handle(const PacketBytes& packet, std::vector<std::uint32_t>& syncs) {
        ++packets_seen_;
        const int size = static_cast<int>(packet.size());
        VelmoraProtocol::SyncPacket sync;
        VelmoraProtocol::AudioFragmentPacket fragment;
        const float* samples = nullptr;
        std::size_t count = 0;
        if (VelmoraProtocol::parse_sync_packet(packet.data(), size, sync) == PacketParseResult::ok) {
            if (sync.client_id != client_id_ || sync.sample_rate != kRate || sync.frame_count != kFrames) {
                ++foreign_packets_;
                return;
            }
            syncs.push_back(sync.sequence);
            sync_sequences_.insert(sync.sequence);
        } else if (VelmoraProtocol::parse_audio_fragment_packet(packet.data(), size, fragment, samples, count) ==
                   PacketParseResult::ok) {
            if (fragment.client_id != client_id_) {
                ++foreign_packets_;
                return;
            }
            if (fragment.channel_count != outputs_) {
                ++fragments_out_of_shape_;
                return;
            }
            VelmoraProtocol::assemble_audio_fragment(slots_, fragment, samples, count, outputs_, 4096, 8, false,
                                                     assembled_);
            if (assembled_.completed) {
                if (sync_sequences_.count(assembled_.block.sequence) == 0) {
                    ++blocks_without_sync_;
                }
                blocks_[assembled_.block.sequence] = assembled_.block.samples;
            }
        } else {
            ++foreign_packets_;
        }
    }

    std::uint32_t client_id_;
    Ipv4Endpoint server_;
    TestUdpPeer peer_;
    std::size_t outputs_ = 0;
    std::uint32_t session_ = 0;
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots_;
    VelmoraProtocol::AudioFragmentAssemblyResult assembled_;
    std::size_t packets_seen_ = 0;
    std::size_t foreign_packets_ = 0;
    std::size_t fragments_out_of_shape_ = 0;
    std::size_t blocks_without_sync_ = 0;
    std::map<std::uint32_t, std::vector<float>> blocks_;
    std::set<std::uint32_t> sync_sequences_;
};

template <typename Condition>
bool wait_for(Condition condition, std::chrono::milliseconds limit = 5000ms) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
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
        runtime->reset();
    }
    void TearDown() override {
        server.stop();
        runtime->set_debug_state(nullptr);
    }
    void start(std::uint32_t client_timeout_ms = 5000) {
        CoreAudioNetworkServer::Config config;
        config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
        config.client_timeout_ms = client_timeout_ms;
        ASSERT_TRUE(server.start(runtime.get(), config, &debug));
        endpoint = server.input_endpoint();
        ASSERT_NE(endpoint.port, 0);
    }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraServerTest::unique_debug_mapping_name()};
    std::unique_ptr<CoreAudioHalRuntime> runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioNetworkServer server;
    Ipv4Endpoint endpoint;
};

} // namespace

TEST(ServerLifecycle, StartStopRestartAndRefusals) {
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    CoreAudioNetworkServer server;
    CoreAudioNetworkServer::Config config;
    config.endpoint = {VelmoraCore::kIpv4Loopback, 0};
    config.payload_bytes = 51;
    EXPECT_FALSE(server.start(runtime.get(), config, nullptr));
    EXPECT_FALSE(server.is_running());
    config.payload_bytes = 1200;
    config.tick_period_us = 0;
    ASSERT_TRUE(server.start(runtime.get(), config, nullptr));
    EXPECT_TRUE(server.is_running());
    EXPECT_TRUE(wait_for([&] { return server.stats().loops > 3; }));
    EXPECT_EQ(server.stats().loops, server.stats().active_ticks + server.stats().idle_ticks);
    ASSERT_TRUE(server.start(runtime.get(), config, nullptr)) << "a running server restarts";
    EXPECT_NE(server.input_endpoint().port, 0);
    server.stop();
    EXPECT_FALSE(server.is_running());
    EXPECT_EQ(server.input_endpoint().port, 0);
    server.stop();
}

TEST_F(ServerTest, AnswersDiscoveryAndTimeProbesWithItsBoundPort) {
    start();
    TestUdpPeer asker;
    ASSERT_TRUE(asker.send_to(VelmoraProtocol::build_discovery_request_packet(21, 5), endpoint));
    auto answer = asker.receive(3000ms);
    ASSERT_TRUE(answer);
    VelmoraProtocol::DiscoveryResponsePacket discovery;
    ASSERT_EQ(VelmoraProtocol::parse_discovery_response_packet(answer->data(), static_cast<int>(answer->size()),
                                                               discovery),
              PacketParseResult::ok);
    EXPECT_EQ(discovery.server_port, endpoint.port);
    ASSERT_TRUE(asker.send_to(VelmoraProtocol::build_time_probe_request_packet(21, 6, 7), endpoint));
    answer = asker.receive(3000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(VelmoraServerTest::packet_type(*answer), 7);
    EXPECT_EQ(server.udp_input_stats().control_responses_sent, 2U);
}

TEST_F(ServerTest, AnnouncedClientGetsSyncsAndExactlyItsOutputChannels) {
    start();
    DeviceStandIn device(*runtime);
    TestEngine engine(31, endpoint);
    engine.announce({}, {3, 17});
    ASSERT_TRUE(wait_for([&] {
        engine.poll(5ms);
        return engine.blocks().size() >= 40;
    }));
    EXPECT_EQ(engine.foreign_packets(), 0U);
    EXPECT_EQ(engine.fragments_out_of_shape(), 0U);
    EXPECT_EQ(engine.blocks_without_sync(), 0U);
    for (const auto& [sequence, samples] : engine.blocks()) {
        ASSERT_EQ(samples.size(), 2U * kFrames);
        for (std::size_t f = 0; f < kFrames; ++f) {
            ASSERT_EQ(samples[f], output_pattern(sequence, 3, f)) << sequence;
            ASSERT_EQ(samples[kFrames + f], output_pattern(sequence, 17, f)) << sequence;
        }
    }
    EXPECT_GE(server.pump_stats().snapshots_sent, 40U);
    EXPECT_EQ(server.active_client_count(), 1U);
    EXPECT_EQ(debug.snapshot().active_client_count, 1);
    EXPECT_GE(debug.snapshot().last_output_enqueue_to_send_us, 0);
}

TEST_F(ServerTest, TwoClientsInputIsSummedAtTheSequenceTheyAimFor) {
    start();
    DeviceStandIn device(*runtime);
    TestEngine first(41, endpoint);
    TestEngine second(42, endpoint);
    first.announce({5}, {0});
    second.announce({5, 6}, {1});
    // Aim 12 blocks (32 ms) ahead, so that a loaded machine still delivers most blocks in time.
    constexpr std::uint32_t kLatency = 12;
    auto first_value = [](std::uint32_t s) { return static_cast<float>(s % 1000U); };
    auto second_value = [](std::uint32_t s) { return 2000.0F + static_cast<float>(s % 1000U); };
    auto second_value6 = [](std::uint32_t s) { return 5000.0F + static_cast<float>(s % 1000U); };
    int full_sums = 0;
    int wrong = 0;
    auto judge = [&] {
        full_sums = 0;
        wrong = 0;
        for (const DeviceStandIn::Read& read : device.reads()) {
            if (read.timeline.sample_rate == 0) {
                continue;
            }
            const std::uint32_t s = read.timeline.sequence;
            const float a = first_value(s);
            const float b = second_value(s);
            // A block read before both clients' input arrived holds what had arrived.
            const bool ok5 = read.channel5 == a || read.channel5 == b || read.channel5 == a + b;
            const bool ok6 = read.channel6 == 0.0F || read.channel6 == second_value6(s);
            wrong += ok5 && ok6 ? 0 : 1;
            full_sums += read.timeline.sequence == read.expected && read.channel5 == a + b ? 1 : 0;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    auto last_judged = start;
    while (full_sums < 100 && std::chrono::steady_clock::now() - start < 10s) {
        for (std::uint32_t s : first.poll(2ms)) {
            first.send_input(s + kLatency, {first_value(s + kLatency)});
        }
        for (std::uint32_t s : second.poll(0ms)) {
            second.send_input(s + kLatency, {second_value(s + kLatency), second_value6(s + kLatency)});
        }
        if (std::chrono::steady_clock::now() - last_judged > 100ms) {
            judge();
            last_judged = std::chrono::steady_clock::now();
        }
    }
    judge();
    // Normally 100 arrive within half a second; under sanitizers on a loaded machine much input
    // comes late, so ask for fewer.
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(full_sums, 20);
    EXPECT_GT(server.input_stats().blocks_completed, 40U);
    EXPECT_EQ(first.fragments_out_of_shape() + second.fragments_out_of_shape(), 0U);
    EXPECT_GT(first.blocks().size(), 20U);
    EXPECT_GT(second.blocks().size(), 20U);
    EXPECT_GE(debug.snapshot().exact_match_count, 20);
}

TEST_F(ServerTest, InputForBlocksAlreadyPlayedIsCountedLate) {
    start();
    DeviceStandIn device(*runtime);
    TestEngine engine(51, endpoint);
    engine.announce({5}, {});
    int sent = 0;
    ASSERT_TRUE(wait_for([&] {
        for (std::uint32_t s : engine.poll(2ms)) {
            engine.send_input(s - 3, {1.0F});
            ++sent;
        }
        return sent >= 20;
    }));
    EXPECT_TRUE(wait_for([&] { return server.input_stats().late_drops >= 20; }));
    EXPECT_GE(debug.snapshot().late_drop_count, 20);
    EXPECT_EQ(server.input_stats().last_published_frames, 0U);
    EXPECT_EQ(debug.snapshot().exact_match_count, 0);
}

TEST_F(ServerTest, SilentClientExpiresAfterTheTimeout) {
    start(300);
    DeviceStandIn device(*runtime);
    TestEngine engine(61, endpoint);
    engine.announce({}, {0});
    ASSERT_TRUE(wait_for([&] { return server.active_client_count() == 1; }));
    const auto announced = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for([&] {
        engine.poll(0ms);
        return server.active_client_count() == 0;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - announced, 290ms);
    EXPECT_TRUE(wait_for([&] { return debug.snapshot().active_client_count == 0; }));
    engine.poll(50ms);
    const std::size_t seen = engine.packets_seen();
    engine.poll(100ms);
    EXPECT_EQ(engine.packets_seen(), seen) << "nothing is sent to an expired client";
}

TEST_F(ServerTest, DisconnectEndsTheStream) {
    start();
    DeviceStandIn device(*runtime);
    TestEngine engine(71, endpoint);
    engine.announce({}, {0});
    ASSERT_TRUE(wait_for([&] {
        engine.poll(5ms);
        return engine.sync_sequences().size() >= 5;
    }));
    engine.disconnect();
    ASSERT_TRUE(wait_for([&] { return server.active_client_count() == 0; }));
    EXPECT_EQ(server.udp_input_stats().disconnects_accepted, 1U);
    engine.poll(50ms);
    const std::size_t seen = engine.packets_seen();
    engine.poll(100ms);
    EXPECT_EQ(engine.packets_seen(), seen);
}

TEST_F(ServerTest, MalformedAndForeignDatagramsAreCountedAndIgnored) {
    start();
    DeviceStandIn device(*runtime);
    TestEngine engine(81, endpoint);
    engine.announce({}, {0});
    ASSERT_TRUE(wait_for([&] { return server.active_client_count() == 1; }));
    TestUdpPeer stranger;
    const char garbage[] = "not a packet";
    PacketBytes bad_version = VelmoraProtocol::build_discovery_request_packet(9, 1);
    bad_version[4] = 4;
    std::vector<float> block(kFrames, 1.0F);
    std::vector<PacketBytes> foreign_input;
    ASSERT_TRUE(VelmoraProtocol::build_audio_fragment_packets(99, 0, kRate, kFrames, 1, block, foreign_input, 1200));
    const std::uint32_t rejected_before = server.udp_input_stats().packets_rejected;
    ASSERT_TRUE(stranger.send_to(garbage, sizeof garbage, endpoint));
    ASSERT_TRUE(stranger.send_to(bad_version, endpoint));
    ASSERT_TRUE(stranger.send_to(foreign_input.at(0), endpoint));
    ASSERT_TRUE(stranger.send_to(VelmoraProtocol::build_sync_packet(81, 1, kRate, kFrames, 0, 0), endpoint));
    ASSERT_TRUE(stranger.send_to("", 0, endpoint));
    EXPECT_TRUE(wait_for([&] { return server.udp_input_stats().packets_rejected - rejected_before >= 5; }));
    EXPECT_EQ(server.udp_input_stats().packets_rejected - rejected_before, 5U);
    EXPECT_EQ(server.input_stats().fragments_rejected, 1U);
    EXPECT_FALSE(stranger.receive(100ms));
    EXPECT_EQ(server.active_client_count(), 1U);
    const std::size_t before = engine.blocks().size();
    EXPECT_TRUE(wait_for([&] {
        engine.poll(5ms);
        return engine.blocks().size() > before + 5;
    })) << "the announced client is still served";
}
