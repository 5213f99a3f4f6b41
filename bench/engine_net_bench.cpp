// CPU per audio block of the network client's two paths, for 2 and 32 channels of 128 frames with
// 1200-byte datagrams:
//   receive: parse every fragment, reassemble it in the 8 slots (copying), hand the finished block
//            over by swap and decide its place in the output sequence, as the receive thread does;
//   send:    store one captured block in the input FIFO, read one block with the steering
//            resampler, cut it into fragment datagrams, as the capture path and a sync do.
// Each is set against memcpy of the same number of samples; the send path is also measured in its
// two parts (the resampling read includes the timer pauses' own noise, so read it as an estimate).
#include <velmora/engine/input_fifo.h>
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;
constexpr std::size_t payload_bytes = 1200;
constexpr std::uint32_t client_id = 7;

std::vector<float> test_block(std::size_t channels) {
    std::vector<float> block(channels * frames);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i % 977) * 0.001f;
    }
    return block;
}

void write_sequence(std::vector<char>& datagram, std::uint32_t sequence) {
    for (int i = 0; i < 4; ++i) {
        datagram[16 + i] = static_cast<char>((sequence >> (8 * i)) & 0xFF);
    }
}

void BM_ReceivePath(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    std::vector<VelmoraProtocol::PacketBytes> datagrams;
    VelmoraProtocol::build_audio_fragment_packets(client_id, 0, rate, frames, channels, test_block(channels), datagrams,
                                                  payload_bytes);
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots;
    VelmoraProtocol::AudioFragmentAssemblyResult result;
    VelmoraProtocol::CompletedOutputBlock delivered;
    VelmoraProtocol::EngineOutputReceiveState receive_state;
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        for (auto& datagram : datagrams) {
            write_sequence(datagram, sequence);
            VelmoraProtocol::AudioFragmentPacket packet{};
            const float* samples = nullptr;
            std::size_t count = 0;
            VelmoraProtocol::parse_audio_fragment_packet(datagram.data(), static_cast<int>(datagram.size()), packet,
                                                         samples, count);
            VelmoraProtocol::assemble_audio_fragment(slots, packet, samples, count, channels, 4096, 8, false, result);
            if (result.completed) {
                delivered.samples.swap(result.block.samples);
                delivered.sequence = result.block.sequence;
                benchmark::DoNotOptimize(VelmoraProtocol::decide_engine_output_receive(receive_state, sequence));
            }
        }
        benchmark::DoNotOptimize(delivered.samples.data());
        ++sequence;
    }
    state.counters["fragments"] = static_cast<double>(datagrams.size());
    state.SetItemsProcessed(state.iterations());
}

void BM_SendPath(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> captured = test_block(channels);
    InputFifo fifo;
    fifo.configure(channels, rate, frames, 2, 12);
    for (int i = 0; i < 2; ++i) {
        fifo.push(rate, frames, captured.data(), 1.0);
    }
    std::vector<float> block(channels * frames);
    std::vector<VelmoraProtocol::PacketBytes> datagrams;
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        fifo.push(rate, frames, captured.data(), 1.0001);
        fifo.read_block(rate, frames, block.data());
        VelmoraProtocol::build_audio_fragment_packets(client_id, sequence++, rate, frames, channels, block, datagrams,
                                                      payload_bytes);
        benchmark::DoNotOptimize(datagrams.data());
    }
    state.counters["fragments"] = static_cast<double>(datagrams.size());
    state.SetItemsProcessed(state.iterations());
}

// The send path's parts: the resampling read alone, and the cutting into datagrams alone.
void BM_SendResampleOnly(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> captured = test_block(channels);
    InputFifo fifo;
    fifo.configure(channels, rate, frames, 2, 12);
    std::vector<float> block(channels * frames);
    for (auto _ : state) {
        state.PauseTiming();
        while (fifo.fill() < 3 * frames) {
            fifo.push(rate, frames, captured.data(), 1.0001);
        }
        state.ResumeTiming();
        fifo.read_block(rate, frames, block.data());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SendFragmentOnly(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> block = test_block(channels);
    std::vector<VelmoraProtocol::PacketBytes> datagrams;
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        VelmoraProtocol::build_audio_fragment_packets(client_id, sequence++, rate, frames, channels, block, datagrams,
                                                      payload_bytes);
        benchmark::DoNotOptimize(datagrams.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MemcpyBlock(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> source = test_block(channels);
    std::vector<float> destination(source.size());
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size() * sizeof(float));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ReceivePath)->Arg(2)->Arg(32);
BENCHMARK(BM_SendPath)->Arg(2)->Arg(32);
BENCHMARK(BM_SendResampleOnly)->Arg(2)->Arg(32);
BENCHMARK(BM_SendFragmentOnly)->Arg(2)->Arg(32);
BENCHMARK(BM_MemcpyBlock)->Arg(2)->Arg(32);

} // namespace

BENCHMARK_MAIN();
