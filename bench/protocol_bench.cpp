// Cutting one block into fragment datagrams and putting it back together, next to a plain memcpy
// of the same samples. Blocks of 128 frames at the default 1200-byte datagram limit, 32 and 2
// channels. Every global allocation is counted: "allocs_per_block" must be 0 once warm.
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <velmora/test_support/counting_allocator.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace {

using namespace VelmoraProtocol;

constexpr std::uint16_t kFrames = 128;
constexpr std::size_t kLimit = 1200;
constexpr std::uint32_t kClient = 7;

std::vector<float> make_block(std::size_t channels) {
    std::vector<float> block(kFrames * channels);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i % 1000) * 0.001f - 0.5f;
    }
    return block;
}

// Allocations per block over the timed loop, and the throughput of samples.
// (Allocations are not counted where a sanitizer owns the allocator: the counter is then NaN.)
class BlockCounters {
public:
    explicit BlockCounters(benchmark::State& state) : state_(state) {}
    void start() { counting_.emplace(VelmoraTest::CountingAllocations::Threads::all); }
    void finish(std::size_t bytes_per_block) {
        const auto blocks = static_cast<double>(state_.iterations());
        state_.counters["allocs_per_block"] = VelmoraTest::counting_allocator_available()
                                                  ? static_cast<double>(counting_->count()) / blocks
                                                  : std::numeric_limits<double>::quiet_NaN();
        counting_.reset();
        state_.SetBytesProcessed(static_cast<std::int64_t>(state_.iterations() * bytes_per_block));
    }

private:
    benchmark::State& state_;
    std::optional<VelmoraTest::CountingAllocations> counting_;
};

// A destination half a 4 KiB page away from the source: a copy between addresses that are equal
// modulo 4096 stalls on false store-to-load dependencies and would flatter everything else.
float* unaliased_destination(std::vector<float>& storage, const float* source, std::size_t samples) {
    storage.assign(samples + 1024, 0.0f);
    const auto distance =
        reinterpret_cast<std::uintptr_t>(storage.data()) - reinterpret_cast<std::uintptr_t>(source);
    const std::size_t shift_bytes = (2048 - distance % 4096 + 4096) % 4096;
    return storage.data() + shift_bytes / sizeof(float);
}

void BM_Memcpy(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> block = make_block(channels);
    std::vector<float> storage;
    float* copy = unaliased_destination(storage, block.data(), block.size());
    BlockCounters counters(state);
    counters.start();
    for (auto _ : state) {
        std::memcpy(copy, block.data(), block.size() * sizeof(float));
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
    counters.finish(block.size() * sizeof(float));
}

// The same copy into eight destinations in turn: the working set of eight assembly slots, which
// no longer fits the first-level cache at 32 channels.
void BM_MemcpyIntoEightSlots(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> block = make_block(channels);
    std::vector<std::vector<float>> storage(8);
    std::vector<float*> copies;
    for (std::vector<float>& slot : storage) {
        copies.push_back(unaliased_destination(slot, block.data(), block.size()));
    }
    std::size_t next = 0;
    BlockCounters counters(state);
    counters.start();
    for (auto _ : state) {
        std::memcpy(copies[next], block.data(), block.size() * sizeof(float));
        next = (next + 1) % copies.size();
        benchmark::DoNotOptimize(copies.data());
        benchmark::ClobberMemory();
    }
    counters.finish(block.size() * sizeof(float));
}

void BM_BuildFragments(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> block = make_block(channels);
    std::vector<PacketBytes> datagrams;
    std::uint32_t sequence = 0;
    // Warm: the datagram vectors grow once and are reused from then on.
    build_audio_fragment_packets(kClient, sequence++, 48000, kFrames, channels, block, datagrams, kLimit);
    BlockCounters counters(state);
    counters.start();
    for (auto _ : state) {
        if (!build_audio_fragment_packets(kClient, sequence++, 48000, kFrames, channels, block, datagrams,
                                          kLimit)) {
            state.SkipWithError("build failed");
            break;
        }
        benchmark::DoNotOptimize(datagrams.data());
        benchmark::ClobberMemory();
    }
    counters.finish(block.size() * sizeof(float));
    state.counters["fragments"] = static_cast<double>(datagrams.size());
}

// Parses and reassembles the datagrams of one block per iteration, each iteration a new sequence.
void reassemble(benchmark::State& state, bool move_block) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<float> block = make_block(channels);
    std::vector<PacketBytes> datagrams;
    build_audio_fragment_packets(kClient, 0, 48000, kFrames, channels, block, datagrams, kLimit);
    std::vector<AudioFragmentAssemblySlot> slots;
    AudioFragmentAssemblyResult result;
    std::uint32_t sequence = 0;
    auto one_block = [&] {
        bool completed = false;
        for (PacketBytes& datagram : datagrams) {
            // The sequence field (offset 16), rewritten in place as a sender would.
            const std::uint32_t s = sequence;
            std::memcpy(datagram.data() + 16, &s, sizeof s);
            AudioFragmentPacket packet;
            const float* samples = nullptr;
            std::size_t count = 0;
            if (parse_audio_fragment_packet(datagram.data(), static_cast<int>(datagram.size()), packet,
                                            samples, count) != PacketParseResult::ok) {
                return false;
            }
            assemble_audio_fragment(slots, packet, samples, count, channels, 65535, 8, move_block, result);
            completed = result.completed;
        }
        ++sequence;
        return completed;
    };
    // Warm: every slot and the result grow to the block size once.
    for (int i = 0; i < 16; ++i) {
        one_block();
    }
    BlockCounters counters(state);
    counters.start();
    for (auto _ : state) {
        if (!one_block()) {
            state.SkipWithError("block did not complete");
            break;
        }
        benchmark::DoNotOptimize(result.block.samples.data());
        benchmark::ClobberMemory();
    }
    counters.finish(block.size() * sizeof(float));
    if (std::memcmp(result.block.samples.data(), block.data(), block.size() * sizeof(float)) != 0) {
        state.SkipWithError("reassembled block differs");
    }
}

void BM_ReassembleMove(benchmark::State& state) {
    reassemble(state, true);
}
void BM_ReassembleCopy(benchmark::State& state) {
    reassemble(state, false);
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(32)->Arg(2);
BENCHMARK(BM_MemcpyIntoEightSlots)->Arg(32)->Arg(2);
BENCHMARK(BM_BuildFragments)->Arg(32)->Arg(2);
BENCHMARK(BM_ReassembleMove)->Arg(32)->Arg(2);
BENCHMARK(BM_ReassembleCopy)->Arg(32)->Arg(2);

BENCHMARK_MAIN();
