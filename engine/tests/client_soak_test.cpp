// Soak: one server, four clients, ten minutes (VELMORA_SOAK_SECONDS overrides), with a test
// thread playing the device. Each client plays its own pair of device outputs and feeds its own
// pair of device inputs with constant values. Prints per client: output blocks delivered, blocks
// dropped (filled with silence, or skipped by a gap too wide to fill), stale duplicates and device
// cycles that had its input; wrong content or blocks out of order fail. On a shared machine the
// drops follow the load: the server's 8-block output queue overflows when its network thread is
// held up.
#include "server_rig.h"

#include <velmora/platform/environment.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace velmora_test;

namespace {

using ull = unsigned long long;

TEST(ClientSoak, FourClientsOnOneServerForTenMinutes) {
    const std::string seconds_text = VelmoraPlatform::environment_string("VELMORA_SOAK_SECONDS");
    const int seconds = seconds_text.empty() ? 600 : std::atoi(seconds_text.c_str());
    std::vector<std::unique_ptr<EngineSide>> clients;
    for (std::int64_t k = 0; k < 4; ++k) {
        clients.push_back(std::make_unique<EngineSide>(std::vector<std::int64_t>{16 + 2 * k, 17 + 2 * k},
                                                       std::vector<std::int64_t>{2 * k, 2 * k + 1}, k + 1.25f,
                                                       k + 1.5f));
        clients.back()->record_syncs = false;
    }
    ServerSide server;
    server.device().set_input_observer([&](std::uint32_t sequence, bool exact, const float* input) {
        for (auto& client : clients) {
            client->observe(sequence, exact, input);
        }
    });
    ASSERT_TRUE(server.start());
    for (auto& client : clients) {
        ASSERT_TRUE(client->start(server.port(), "127.0.0.1", 1000));
    }
    const std::uint64_t cycles_at_start = server.device().cycles();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::uint64_t cycles = server.device().cycles() - cycles_at_start;
    server.device().stop();

    std::printf("soak: %d s, %llu device cycles, 4 clients\n", seconds, static_cast<ull>(cycles));
    for (std::size_t k = 0; k < clients.size(); ++k) {
        EngineSide& c = *clients[k];
        c.client.stop();
        const VelmoraClient::SequenceEvents e = c.client.sequence_events();
        std::printf(
            "client %zu: delivered %llu, dropped: %llu filled with silence + %llu in %llu unfilled gaps, "
            "stale duplicates %llu, device cycles with its input %llu (%.3f%%), rtt p99 %u us\n",
            k, static_cast<ull>(c.real_blocks), static_cast<ull>(c.silent_blocks),
            static_cast<ull>(c.unfilled_missing), static_cast<ull>(e.output_gap_restarts),
            static_cast<ull>(e.output_blocks_stale), static_cast<ull>(c.input_cycles),
            100.0 * static_cast<double>(c.input_cycles) / static_cast<double>(std::max<ull>(cycles, 1)),
            c.client.telemetry().rtt_p99_us);
        EXPECT_EQ(c.content_errors, 0u);
        EXPECT_EQ(c.backwards, 0u);
        EXPECT_GT(c.real_blocks, cycles * 9 / 10);
    }
}

} // namespace
