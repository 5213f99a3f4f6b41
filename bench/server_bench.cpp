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

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 128;

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A client socket on 127.0.0.1 that only soaks up what the server sends.
class Sink {
public:
    Sink() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 8 * 1024 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Sink() { ::close(fd_); }
    void send(const VelmoraProtocol::PacketBytes& packet, std::uint16_t port) const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    void drain() const {
        char buffer[2048];
        while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

void BM_ServerOutputPerBlock(benchmark::State& state) {
    const auto clients = static_cast<std::uint32_t>(state.range(0));
    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkPump pump;
    VelmoraMac::CoreAudioNetworkPump::Config config;
    config.endpoint = {INADDR_LOOPBACK, 0};
    if (!pump.start(config)) {
        state.SkipWithError("the pump did not start");
        return;
    }
    std::vector<std::unique_ptr<Sink>> sinks;
    for (std::uint32_t i = 0; i < clients; ++i) {
        sinks.push_back(std::make_unique<Sink>());
        VelmoraProtocol::ClientSettings settings;
        settings.client_id = 100 + i;
        settings.driver_inputs = {};
        settings.driver_outputs.clear();
        for (std::int64_t c = 0; c < 32; ++c) {
            settings.driver_outputs.push_back(c);
        }
        sinks.back()->send(VelmoraProtocol::build_announce_packet(settings, 1), pump.input_endpoint().port);
    }
    for (int attempt = 0; attempt < 1000 && pump.active_client_count() < clients; ++attempt) {
        pump.tick(*runtime);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (pump.active_client_count() != clients) {
        state.SkipWithError("clients did not register");
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
                sink->drain();
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
        benchmark::DoNotOptimize(VelmoraCore::build_server_output_packet_batch(7, view, view.channel_map, 1200, packets));
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
    VelmoraMac::CoreAudioNetworkPump::Config config;
    config.endpoint = {INADDR_LOOPBACK, 0};
    if (!pump.start(config)) {
        state.SkipWithError("the pump did not start");
        return;
    }
    const std::uint16_t port = pump.input_endpoint().port;
    std::vector<std::unique_ptr<Sink>> sinks;
    for (std::uint32_t i = 0; i < clients; ++i) {
        sinks.push_back(std::make_unique<Sink>());
        VelmoraProtocol::ClientSettings settings;
        settings.client_id = 100 + i;
        settings.driver_inputs = {0, 1};
        settings.driver_outputs = {};
        sinks.back()->send(VelmoraProtocol::build_announce_packet(settings, 1), port);
    }
    for (int attempt = 0; attempt < 1000 && pump.active_client_count() < clients; ++attempt) {
        pump.tick(*runtime);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<float> input(2 * kFrames, 0.25F);
    std::vector<VelmoraProtocol::PacketBytes> fragments;
    std::vector<float> device(32 * kFrames);
    double cpu = 0;
    std::uint64_t blocks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::uint32_t sequence = runtime->expected_input_sequence() + 2;
        for (std::uint32_t i = 0; i < clients; ++i) {
            VelmoraProtocol::build_audio_fragment_packets(100 + i, sequence, kRate, kFrames, 2, input, fragments, 1200);
            for (const auto& fragment : fragments) {
                sinks[i]->send(fragment, port);
            }
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
