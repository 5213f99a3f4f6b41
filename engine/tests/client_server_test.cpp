// The network client against the real server core on 127.0.0.1, with a test thread playing the
// device's IO thread: discovery, the compatibility probe, time probes, output blocks in order with
// silence for a dropped sequence, input for sequence + latency arriving in the device input,
// the disconnect, and a server restarting under a running client.
#include "client_recorder.h"
#include "device_loop.h"

#include <velmora/engine/velmora_client.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_server.h>
#include <velmora/server/ipv4_endpoint.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "fake_velmora_server.h"

using namespace velmora_test;
using std::chrono::milliseconds;

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;
constexpr float input_left = 0.25f;
constexpr float input_right = 0.5f;

class ServerSide {
public:
    ServerSide() : runtime_(std::make_unique<VelmoraMac::CoreAudioHalRuntime>()), device_(*runtime_) {}
    ~ServerSide() {
        device_.stop();
        server_.stop();
    }

    bool start(std::uint32_t first_sequence = 0) {
        runtime_->reset_to_sequence(first_sequence);
        if (!open(0)) {
            return false;
        }
        device_.start();
        return true;
    }
    // Stops and starts again as the plug-in does when its last host client leaves and a new one
    // attaches: the runtime is reset and numbers its blocks from 0 again, on the same port.
    bool restart() {
        server_.stop();
        device_.stop();
        runtime_->reset();
        if (!open(port_)) {
            return false;
        }
        device_.start();
        return true;
    }

    std::uint16_t port() const { return port_; }
    DeviceLoop& device() { return device_; }
    VelmoraMac::CoreAudioHalRuntime& runtime() { return *runtime_; }
    VelmoraMac::CoreAudioNetworkServer& server() { return server_; }

private:
    bool open(std::uint16_t port) {
        VelmoraMac::CoreAudioNetworkServer::Config config;
        config.endpoint = VelmoraCore::Ipv4Endpoint{VelmoraCore::kIpv4Loopback, port};
        // Long enough that only a disconnect, never the time-out, removes a client in these tests.
        config.client_timeout_ms = 60000;
        if (!server_.start(runtime_.get(), config, nullptr)) {
            return false;
        }
        port_ = server_.input_endpoint().port;
        return port_ != 0;
    }

    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime_;
    VelmoraMac::CoreAudioNetworkServer server_;
    DeviceLoop device_;
    std::uint16_t port_ = 0;
};

// One engine's network side: plays nothing, but checks every output block against the device's
// pattern and answers each delivered block with one captured block of constant input, as a player
// running on the server's clock would.
class EngineSide {
public:
    explicit EngineSide(std::uint32_t client_id) : client_id_(client_id) {}
    // The callbacks use the members below: the client stops before any of them goes.
    ~EngineSide() { client_.stop(); }

    bool start(std::uint16_t port, const std::string& server_ip = "127.0.0.1") {
        settings_ = loopback_settings(port, client_id_, server_ip);
        auto record = recorder_.output();
        const bool started = client_.start(
            settings_, recorder_.log(),
            [this, record](const VelmoraProtocol::CompletedOutputBlock& block) {
                record(block);
                check(block);
                client_.submit_input_block(rate, frames, 2, captured_, 1.0);
            },
            recorder_.sync(), recorder_.telemetry());
        return started && client_.configure_server_format(rate, frames);
    }

    VelmoraClient& client() { return client_; }
    ClientRecorder& recorder() { return recorder_; }
    std::uint64_t content_mismatches() const { return mismatches_.load(); }
    std::uint64_t real_blocks() const { return real_blocks_.load(); }

private:
    void check(const VelmoraProtocol::CompletedOutputBlock& block) {
        const bool silent = block.receive_time_ns == 0;
        if (silent) {
            return;
        }
        ++real_blocks_;
        for (std::size_t c = 0; c < block.channel_count; ++c) {
            const float expected = device_output_value(block.sequence, static_cast<std::size_t>(settings_.driver_outputs[c]));
            if (block.samples[c * block.frame_count] != expected ||
                block.samples[c * block.frame_count + block.frame_count - 1] != expected) {
                ++mismatches_;
            }
        }
    }

    std::uint32_t client_id_;
    VelmoraProtocol::ClientSettings settings_;
    ClientRecorder recorder_;
    VelmoraClient client_;
    std::vector<float> captured_ = [] {
        std::vector<float> block(2 * frames, input_left);
        std::fill(block.begin() + frames, block.end(), input_right);
        return block;
    }();
    std::atomic<std::uint64_t> mismatches_{0};
    std::atomic<std::uint64_t> real_blocks_{0};
};

// Counts device cycles whose input held this engine's block exactly, with its values on device
// channels 2 and 3 (the default driver_inputs).
struct InputWatch {
    std::atomic<std::uint64_t> exact_with_engine_input{0};
    std::atomic<std::uint32_t> first_sequence{0};
    std::atomic<bool> seen{false};

    DeviceLoop::InputObserver observer() {
        return [this](std::uint32_t sequence, bool exact, const float* input) {
            if (exact && input[2 * frames] == input_left && input[3 * frames + frames - 1] == input_right) {
                if (!seen.exchange(true)) {
                    first_sequence = sequence;
                }
                ++exact_with_engine_input;
            }
        };
    }
};

// Delivered sequences run one by one, silent blocks included.
bool consecutive(const std::vector<std::uint32_t>& sequences) {
    for (std::size_t i = 1; i < sequences.size(); ++i) {
        if (sequences[i] != sequences[i - 1] + 1) {
            return false;
        }
    }
    return true;
}

TEST(ClientServer, ProbeMeasuresAndAudioFlowsBothWays) {
    ServerSide server;
    InputWatch watch;
    server.device().set_input_observer(watch.observer());
    ASSERT_TRUE(server.start());
    EngineSide engine(unique_client_id(60));
    ASSERT_TRUE(engine.start(server.port()));
    EXPECT_TRUE(engine.recorder().logged("[net] Client started."));

    ASSERT_TRUE(wait_for([&] { return engine.real_blocks() >= 400; }, milliseconds(15000)));
    ASSERT_TRUE(wait_for([&] { return watch.exact_with_engine_input.load() >= 200; }, milliseconds(15000)));
    const auto syncs = engine.recorder().sync_sequences();
    ASSERT_FALSE(syncs.empty());
    // Input answers sync N with the block for N + 6: nothing of it can reach the device before
    // the cycle 6 blocks after the first sync.
    EXPECT_GE(watch.first_sequence.load(), syncs.front() + 6);
    EXPECT_EQ(engine.content_mismatches(), 0u);
    EXPECT_TRUE(consecutive(engine.recorder().block_sequences()));

    ASSERT_TRUE(wait_for([&] { return engine.client().telemetry().probe_responses >= 2; }, milliseconds(10000)));
    // The offset and the round trip of one and the same probe.
    VelmoraClient::Telemetry t;
    std::optional<std::int64_t> offset;
    do {
        t = engine.client().telemetry();
        offset = engine.client().clock_offset_ns();
    } while (engine.client().telemetry().probe_responses != t.probe_responses);
    ASSERT_TRUE(offset.has_value());
    std::printf("loopback: rtt last/min/max %u/%u/%u us, clock offset %lld ns (probe rtt %u us), sync age p50 %u us\n",
                t.rtt_last_us, t.rtt_min_us, t.rtt_max_us, static_cast<long long>(*offset), t.clock_offset_rtt_us,
                t.sync_age_p50_us);
    EXPECT_GT(t.rtt_min_us, 0u);
    EXPECT_LT(t.rtt_min_us, 20000u);
    // Both ends read one clock: the offset is the asymmetry of the two one-way delays, bounded by
    // half the round trip (the server answers on its next 1 ms tick).
    EXPECT_LE(std::llabs(*offset), static_cast<long long>(t.clock_offset_rtt_us) * 500 + 100000);
    EXPECT_LT(std::llabs(*offset), 2000000);
    EXPECT_GE(t.sync_age_samples, 1u);
}

TEST(ClientServer, DiscoveryFindsTheServerForAutoInAnyCase) {
    ServerSide server;
    ASSERT_TRUE(server.start());
    for (const char* word : {"auto", "AUTO"}) {
        SCOPED_TRACE(word);
        EngineSide engine(unique_client_id(61));
        ASSERT_TRUE(engine.start(server.port(), word));
        EXPECT_EQ(engine.client().server_endpoint().address, VelmoraCore::kIpv4Loopback);
        EXPECT_EQ(engine.client().server_endpoint().port, server.port());
        EXPECT_TRUE(engine.recorder().logged("[net] Auto discovery selected 127.0.0.1:" + std::to_string(server.port()) + "."));
        EXPECT_TRUE(wait_for([&] { return engine.real_blocks() >= 10; }));
    }
}

TEST(ClientServer, ADroppedSequenceArrivesAsASilentBlockInOrder) {
    ServerSide server;
    ASSERT_TRUE(server.start());
    EngineSide engine(unique_client_id(62));
    ASSERT_TRUE(engine.start(server.port()));
    ASSERT_TRUE(wait_for([&] { return engine.real_blocks() >= 20; }));
    const std::uint32_t dropped = server.runtime().expected_input_sequence() + 40;
    server.device().drop_sequence(dropped);
    ASSERT_TRUE(wait_for([&] {
        const auto s = engine.recorder().block_sequences();
        return !s.empty() && s.back() > dropped + 5;
    }));
    const auto blocks = engine.recorder().blocks();
    std::vector<std::uint32_t> sequences;
    bool found = false;
    for (const auto& block : blocks) {
        sequences.push_back(block.sequence);
        if (block.sequence == dropped) {
            found = true;
            EXPECT_TRUE(block.silent);
        } else if (block.sequence + 1 == dropped || block.sequence == dropped + 1) {
            EXPECT_FALSE(block.silent);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(consecutive(sequences));
    EXPECT_EQ(engine.content_mismatches(), 0u);
}

TEST(ClientServer, StopSendsTheDisconnect) {
    ServerSide server;
    ASSERT_TRUE(server.start());
    EngineSide engine(unique_client_id(63));
    ASSERT_TRUE(engine.start(server.port()));
    ASSERT_TRUE(wait_for([&] { return server.server().active_client_count() == 1; }));
    engine.client().stop();
    // The server forgets the client at once, long before its 60 s time-out.
    EXPECT_TRUE(wait_for([&] { return server.server().active_client_count() == 0; }, milliseconds(3000)));
    EXPECT_TRUE(engine.recorder().logged("[net] Client stopped."));
}

TEST(ClientServer, AServerRestartingUnderARunningClientIsFollowed) {
    ServerSide server;
    InputWatch watch;
    server.device().set_input_observer(watch.observer());
    // Far from 0, so that the restart moves the numbers back by much more than a second.
    ASSERT_TRUE(server.start(100000));
    EngineSide engine(unique_client_id(64));
    ASSERT_TRUE(engine.start(server.port()));
    ASSERT_TRUE(wait_for([&] { return engine.real_blocks() >= 50 && watch.exact_with_engine_input.load() >= 20; },
                         milliseconds(10000)));

    ASSERT_TRUE(server.restart());
    watch.exact_with_engine_input = 0;
    const auto restarted = std::chrono::steady_clock::now();
    // Syncs with the new numbers are accepted, output flows again and input reaches the device.
    EXPECT_TRUE(wait_for([&] {
        const auto s = engine.recorder().sync_sequences();
        return !s.empty() && s.back() < 100000;
    }, milliseconds(5000)));
    EXPECT_TRUE(wait_for([&] {
        const auto s = engine.recorder().block_sequences();
        return !s.empty() && s.back() < 100000 && s.back() > 20;
    }, milliseconds(5000)));
    EXPECT_TRUE(wait_for([&] { return watch.exact_with_engine_input.load() >= 20; }, milliseconds(5000)));
    std::printf("after the restart: output and input flowing again within %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - restarted).count()));
    EXPECT_EQ(engine.client().sequence_events().server_restarts, 1u);
    EXPECT_EQ(engine.content_mismatches(), 0u);
}

} // namespace
