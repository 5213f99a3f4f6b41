// Server cost per device block: the IO thread's publish of a 32-channel, 128-frame block, then the
// network pump taking it and sending a sync packet and the fragments of 32 output channels to each
// of N clients on 127.0.0.1 (real sendto calls, loopback delivery included). Reported as thread
// CPU microseconds per block and per client, and as the share of one core that sending every
// block at 48 kHz takes.
//
//   build/bin/server_bench --benchmark_min_time=2
#include <velmora/platform/clocks.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_pump.h>

#include "udp_test_client.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 128;

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

using Clients = std::vector<std::unique_ptr<VelmoraTest::UdpTestClient>>;

// Starts the pump on 127.0.0.1 with `count` clients (ids 100, 101, ...) announced and taken.
bool start_with_clients(benchmark::State& state, VelmoraMac::CoreAudioNetworkPump& pump,
                        VelmoraMac::CoreAudioHalRuntime& runtime, Clients& clients, std::uint32_t count,
                        const std::vector<std::int64_t>& inputs, const std::vector<std::int64_t>& outputs) {
    VelmoraMac::CoreAudioNetworkPump::Config config;
    config.endpoint = {INADDR_LOOPBACK, 0};
    if (!pump.start(config)) {
        state.SkipWithError("the pump did not start");
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<VelmoraTest::UdpTestClient>(pump.input_endpoint().port));
        clients.back()->announce(100 + i, 1, inputs, outputs);
    }
    for (int attempt = 0; attempt < 1000 && pump.active_client_count() < count; ++attempt) {
        pump.tick(runtime);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (pump.active_client_count() != count) {
        state.SkipWithError("clients did not register");
        return false;
    }
    return true;
}

void BM_ServerOutputPerBlock(benchmark::State& state) {
    const auto clients = static_cast<std::uint32_t>(state.range(0));
    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkPump pump;
    Clients sinks;
    std::vector<std::int64_t> all_channels(32);
    for (std::size_t c = 0; c < all_channels.size(); ++c) {
        all_channels[c] = static_cast<std::int64_t>(c);
    }
    if (!start_with_clients(state, pump, *runtime, sinks, clients, {}, all_channels)) {
        return;
    }
    std::vector<float> block(32 * kFrames);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i % 97) / 97.0F;
    }

    double cpu = 0;
    std::uint64_t blocks = 0;
    for (auto _ : state) {
        const double before = thread_cpu_seconds();
        runtime->publish_output_block(block.data(), kFrames, kRate, VelmoraPlatform::host_time_nanoseconds());
        benchmark::DoNotOptimize(pump.send_next_output_snapshot(*runtime));
        cpu += thread_cpu_seconds() - before;
        ++blocks;
        if (blocks % 32 == 0) {
            state.PauseTiming();
            for (const auto& sink : sinks) {
                sink->drain(std::chrono::milliseconds(0));
            }
            state.ResumeTiming();
        }
    }
    const double per_block_us = cpu * 1e6 / static_cast<double>(blocks);
    const double block_period_us = 1e6 * kFrames / kRate;
    state.counters["cpu_us_per_block"] = per_block_us;
    state.counters["cpu_us_per_client"] = per_block_us / clients;
    state.counters["core_pct_at_48k"] = 100.0 * per_block_us / block_period_us;
    state.counters["send_errors"] = pump.stats().errors;
    pump.stop();
}

BENCHMARK(BM_ServerOutputPerBlock)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

// The building alone (no socket), per client: what the send path's system calls add is the rest.
void BM_ServerOutputBuildPerClient(benchmark::State& state) {
    std::vector<float> block(32 * kFrames, 0.5F);
    VelmoraCore::ServerOutputBlockView view;
    view.frames = kFrames;
    view.sample_rate = kRate;
    view.samples = block.data();
    view.channels = 32;
    for (std::int64_t c = 0; c < 32; ++c) {
        view.channel_map.push_back(c);
    }
    std::vector<VelmoraProtocol::PacketBytes> packets;
    for (auto _ : state) {
        ++view.sequence;
        benchmark::DoNotOptimize(
            VelmoraCore::build_server_output_packet_batch(7, view, view.channel_map, 1200, packets));
    }
    state.counters["datagrams"] = static_cast<double>(packets.size());
}

BENCHMARK(BM_ServerOutputBuildPerClient)->Unit(benchmark::kMicrosecond);

// The receive side for comparison: one tick taking N clients' 2-channel input blocks (one
// fragment each), reassembling and summing them into the device's ring, plus the device's read.
void BM_ServerInputPerBlock(benchmark::State& state) {
    const auto clients = static_cast<std::uint32_t>(state.range(0));
    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkPump pump;
    Clients sinks;
    if (!start_with_clients(state, pump, *runtime, sinks, clients, {0, 1}, {})) {
        return;
    }
    std::vector<float> input(2 * kFrames, 0.25F);
    std::vector<float> device(32 * kFrames);
    double cpu = 0;
    std::uint64_t blocks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::uint32_t sequence = runtime->expected_input_sequence() + 2;
        for (std::uint32_t i = 0; i < clients; ++i) {
            sinks[i]->send_input_block(100 + i, sequence, kRate, kFrames, 2, input);
        }
        state.ResumeTiming();
        const double before = thread_cpu_seconds();
        pump.tick(*runtime);
        runtime->read_prepared_input_block(device.data(), kFrames, kRate);
        cpu += thread_cpu_seconds() - before;
        // The device moves on without queueing output, so only the input path is measured.
        runtime->next_timeline(kFrames, kRate, 0);
        ++blocks;
    }
    const double per_block_us = cpu * 1e6 / static_cast<double>(blocks);
    state.counters["cpu_us_per_block"] = per_block_us;
    state.counters["cpu_us_per_client"] = per_block_us / clients;
    state.counters["blocks_completed"] = pump.input_stats().blocks_completed;
    pump.stop();
}

BENCHMARK(BM_ServerInputPerBlock)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // The server logs each client it accepts; keep the figures readable.
    ::setenv("VELMORA_OS_LOG_LEVEL", "error", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
