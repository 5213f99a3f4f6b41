// Once the format is set, a steady stream allocates nothing: not on the receive thread (syncs,
// output reassembly and delivery, input blocks cut into datagrams) and not on the capture path
// (`submit_input_block`). Every allocation made by a tracked thread after the warm-up is counted.
#include "client_recorder.h"
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> tracked_allocations{0};
thread_local bool tracked_thread = false;

void* counted_allocation(std::size_t size) {
    if (tracked_thread && counting.load(std::memory_order_relaxed)) {
        tracked_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace velmora_test;

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;

void set_sequence(std::vector<char>& datagram, std::uint32_t sequence) {
    for (int i = 0; i < 4; ++i) {
        datagram[16 + i] = static_cast<char>((sequence >> (8 * i)) & 0xFF);
    }
}

TEST(ClientAllocation, ASteadyStreamAllocatesNothing) {
    for (const std::size_t channels : {std::size_t{2}, std::size_t{32}}) {
        SCOPED_TRACE(channels);
        FakeVelmoraServer server;
        const std::uint32_t client_id = unique_client_id(40 + static_cast<std::uint32_t>(channels));
        auto settings = loopback_settings(server.port(), client_id);
        settings.driver_inputs.clear();
        settings.driver_outputs.clear();
        for (std::size_t c = 0; c < channels; ++c) {
            settings.driver_inputs.push_back(static_cast<std::int64_t>(c));
            settings.driver_outputs.push_back(static_cast<std::int64_t>(c));
        }
        std::atomic<std::uint64_t> delivered{0};
        VelmoraClient client;
        // The output callback runs on the receive thread: it marks that thread as tracked. No log
        // or telemetry listener, as the engine runs without one where it does not need it.
        ASSERT_TRUE(client.start(
            settings, nullptr,
            [&](const VelmoraProtocol::CompletedOutputBlock&) {
                tracked_thread = true;
                delivered.fetch_add(1);
            },
            nullptr, nullptr));
        ASSERT_TRUE(client.configure_server_format(rate, frames));
        ASSERT_TRUE(wait_for([&] { return server.has_client(); }));

        const std::vector<float> captured(channels * frames, 0.25f);
        auto sync = VelmoraProtocol::build_sync_packet(client_id, 0, rate, frames, 0, 1);
        std::vector<VelmoraProtocol::PacketBytes> fragments;
        VelmoraProtocol::build_audio_fragment_packets(client_id, 0, rate, frames, channels,
                                                      std::vector<float>(channels * frames, 0.5f), fragments, 1200);
        const auto send_block = [&](std::uint32_t sequence) {
            set_sequence(sync, sequence);
            server.send(sync);
            for (auto& fragment : fragments) {
                set_sequence(fragment, sequence);
                server.send(fragment);
            }
        };

        constexpr std::uint32_t warm_up = 40;
        constexpr std::uint32_t measured = 300;
        tracked_thread = true;  // the capture path runs on this thread
        for (std::uint32_t sequence = 0; sequence < warm_up + measured; ++sequence) {
            if (sequence == warm_up) {
                ASSERT_TRUE(wait_for([&] { return delivered.load() >= warm_up; }));
                counting = true;
            }
            client.submit_input_block(rate, frames, static_cast<std::uint16_t>(channels), captured, 1.0);
            send_block(sequence);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        tracked_thread = false;
        EXPECT_TRUE(wait_for([&] { return delivered.load() >= warm_up + measured - 5; }));
        counting = false;
        client.stop();
        EXPECT_EQ(tracked_allocations.exchange(0), 0u);
        EXPECT_GE(server.input_fragments(), measured / 2) << "input went out during the measurement";
    }
}

} // namespace
