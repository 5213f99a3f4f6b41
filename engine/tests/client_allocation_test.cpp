// Once the format is set, a steady stream allocates nothing: not on the receive thread (syncs,
// output reassembly and delivery, input blocks cut into datagrams) and not on the capture path
// (`submit_input_block`). Every allocation made by a tracked thread after the warm-up is counted.
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>
#include <velmora/test_support/counting_allocator.h>

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <optional>

namespace {

using namespace velmora_test;

TEST(ClientAllocation, ASteadyStreamAllocatesNothing) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    constexpr std::uint32_t rate = 48000;
    constexpr std::uint16_t frames = 128;
    for (const std::uint16_t channels : {2, 32}) {
        SCOPED_TRACE(channels);
        FakeVelmoraServer server;
        const std::uint32_t client_id = unique_client_id();
        auto settings = loopback_settings(server.port(), client_id);
        settings.driver_inputs.resize(channels);
        std::iota(settings.driver_inputs.begin(), settings.driver_inputs.end(), 0);
        settings.driver_outputs = settings.driver_inputs;
        std::atomic<std::uint64_t> delivered{0};
        VelmoraClient client;
        // The output callback runs on the receive thread: it marks that thread as tracked. No log
        // or telemetry listener, as the engine runs without one where it does not need it.
        ASSERT_TRUE(client.start(
            settings, nullptr,
            [&](const VelmoraProtocol::CompletedOutputBlock&) {
                VelmoraTest::track_current_thread();
                delivered.fetch_add(1);
            },
            nullptr, nullptr));
        ASSERT_TRUE(client.configure_server_format(rate, frames));
        ASSERT_TRUE(wait_for([&] { return server.has_client(); }));

        const std::vector<float> captured(std::size_t{channels} * frames, 0.25f);
        constexpr std::uint32_t warm_up = 40;
        constexpr std::uint32_t measured = 300;
        std::optional<VelmoraTest::CountingAllocations> counting;
        for (std::uint32_t sequence = 0; sequence < warm_up + measured; ++sequence) {
            if (sequence == warm_up) {
                ASSERT_TRUE(wait_for([&] { return delivered.load() >= warm_up; }));
                counting.emplace();
            }
            // Never far ahead of delivery: a receiver held up on a loaded machine loses no datagram,
            // so the stream stays steady (a loss is filled with silence, another path).
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (delivered.load() + 4 < sequence && std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            VelmoraTest::track_current_thread(); // the capture path runs on this thread
            client.submit_input_block(rate, frames, channels, captured, 1.0);
            VelmoraTest::track_current_thread(false); // the fake server builds its datagrams here
            server.send_sync(client_id, sequence);
            server.send_block(client_id, sequence, channels, 0.5f);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        EXPECT_TRUE(wait_for([&] { return delivered.load() >= warm_up + measured; }));
        EXPECT_EQ(counting->count(), 0u)
            << "silent blocks filled " << client.sequence_events().silent_blocks_filled;
        counting.reset();
        client.stop();
        EXPECT_GE(server.seen().input_fragments, measured / 2) << "input went out during the measurement";
    }
}

} // namespace
