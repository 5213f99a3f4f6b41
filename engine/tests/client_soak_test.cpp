// Soak: one server, four clients, ten minutes (VELMORA_SOAK_SECONDS overrides), with a test
// thread playing the device. Each client plays its own pair of device outputs and feeds its own
// pair of device inputs with constant values. Prints per client: output blocks delivered, blocks
// dropped (filled with silence, or skipped by a gap too wide to fill), stale duplicates, content
// errors, and device cycles that had its input. On a shared machine the drops follow the load:
// the server's 8-block output queue overflows when its network thread is held up.
#include "client_recorder.h"
#include "device_loop.h"
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>
#include <velmora/platform/environment.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_server.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace velmora_test;

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;
constexpr std::size_t client_count = 4;

float input_value(std::size_t client, std::size_t channel) {
    return static_cast<float>(client + 1) + (channel == 0 ? 0.25f : 0.5f);
}

struct SoakClient {
    std::size_t index = 0;
    VelmoraProtocol::ClientSettings settings;
    VelmoraClient client;
    std::vector<float> captured;
    std::atomic<std::uint64_t> real_blocks{0};
    std::atomic<std::uint64_t> silent_blocks{0};
    std::atomic<std::uint64_t> backwards{0};        // a block not newer than the one before
    std::atomic<std::uint64_t> unfilled_missing{0};  // blocks skipped by gaps too wide to fill
    std::atomic<std::uint64_t> content_errors{0};
    std::atomic<std::uint64_t> input_cycles{0};
    std::uint32_t last_sequence = 0;
    bool has_last = false;

    void on_block(const VelmoraProtocol::CompletedOutputBlock& block) {
        if (has_last && block.sequence != last_sequence + 1) {
            const std::int32_t step = VelmoraProtocol::sequence_difference(block.sequence, last_sequence);
            if (step <= 0) {
                ++backwards;
            } else {
                unfilled_missing += static_cast<std::uint64_t>(step - 1);
            }
        }
        has_last = true;
        last_sequence = block.sequence;
        if (block.receive_time_ns == 0) {
            ++silent_blocks;
        } else {
            ++real_blocks;
            for (std::size_t c = 0; c < block.channel_count; ++c) {
                const float expected = device_output_value(block.sequence, static_cast<std::size_t>(settings.driver_outputs[c]));
                if (block.samples[c * block.frame_count] != expected) {
                    ++content_errors;
                }
            }
        }
        client.submit_input_block(rate, frames, 2, captured, 1.0);
    }
};

TEST(ClientSoak, FourClientsOnOneServerForTenMinutes) {
    const std::string seconds_text = VelmoraPlatform::environment_string("VELMORA_SOAK_SECONDS");
    const int seconds = seconds_text.empty() ? 600 : std::atoi(seconds_text.c_str());

    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkServer server;
    VelmoraMac::CoreAudioNetworkServer::Config config;
    config.endpoint = VelmoraCore::Ipv4Endpoint{VelmoraCore::kIpv4Loopback, 0};
    ASSERT_TRUE(server.start(runtime.get(), config, nullptr));
    const std::uint16_t port = server.input_endpoint().port;

    std::array<SoakClient, client_count> clients;
    DeviceLoop device(*runtime);
    device.set_input_observer([&](std::uint32_t, bool exact, const float* input) {
        for (std::size_t k = 0; k < client_count; ++k) {
            const std::size_t left = static_cast<std::size_t>(clients[k].settings.driver_inputs[0]);
            const std::size_t right = static_cast<std::size_t>(clients[k].settings.driver_inputs[1]);
            if (exact && input[left * frames] == input_value(k, 0) && input[right * frames] == input_value(k, 1)) {
                ++clients[k].input_cycles;
            }
        }
    });

    for (std::size_t k = 0; k < client_count; ++k) {
        SoakClient& c = clients[k];
        c.index = k;
        c.settings = loopback_settings(port, unique_client_id(80 + static_cast<std::uint32_t>(k)));
        c.settings.announce_period_ms = 1000;
        c.settings.driver_inputs = {static_cast<std::int64_t>(2 * k), static_cast<std::int64_t>(2 * k + 1)};
        c.settings.driver_outputs = {static_cast<std::int64_t>(16 + 2 * k), static_cast<std::int64_t>(17 + 2 * k)};
        c.captured.assign(2 * frames, input_value(k, 0));
        std::fill(c.captured.begin() + frames, c.captured.end(), input_value(k, 1));
    }
    device.start();
    for (SoakClient& c : clients) {
        ASSERT_TRUE(c.client.start(c.settings, nullptr,
                                   [&c](const VelmoraProtocol::CompletedOutputBlock& block) { c.on_block(block); },
                                   nullptr, nullptr));
        ASSERT_TRUE(c.client.configure_server_format(rate, frames));
    }

    const auto begin = std::chrono::steady_clock::now();
    const std::uint64_t cycles_at_start = device.cycles();
    while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const std::uint64_t cycles = device.cycles() - cycles_at_start;
    for (SoakClient& c : clients) {
        c.client.stop();
    }
    device.stop();
    server.stop();

    std::printf("soak: %d s, %llu device cycles, 4 clients\n", seconds, static_cast<unsigned long long>(cycles));
    for (const SoakClient& c : clients) {
        const VelmoraClient::SequenceEvents e = c.client.sequence_events();
        const VelmoraClient::Telemetry t = c.client.telemetry();
        std::printf("client %zu: delivered %llu, dropped: %llu filled with silence + %llu in %llu unfilled gaps, "
                    "stale duplicates %llu, backwards %llu, content errors %llu, "
                    "device cycles with its input %llu (%.3f%%), rtt p50/p99 %u/%u us, probe timeouts %llu\n",
                    c.index, static_cast<unsigned long long>(c.real_blocks.load()),
                    static_cast<unsigned long long>(c.silent_blocks.load()),
                    static_cast<unsigned long long>(c.unfilled_missing.load()),
                    static_cast<unsigned long long>(e.output_gap_restarts),
                    static_cast<unsigned long long>(e.output_blocks_stale),
                    static_cast<unsigned long long>(c.backwards.load()),
                    static_cast<unsigned long long>(c.content_errors.load()),
                    static_cast<unsigned long long>(c.input_cycles.load()),
                    cycles == 0 ? 0.0 : 100.0 * static_cast<double>(c.input_cycles.load()) / static_cast<double>(cycles),
                    t.rtt_p50_us, t.rtt_p99_us, static_cast<unsigned long long>(t.probe_timeouts));
        EXPECT_EQ(c.content_errors.load(), 0u);
        EXPECT_EQ(c.backwards.load(), 0u);
        EXPECT_GT(c.real_blocks.load(), cycles * 9 / 10);
    }
}

} // namespace
