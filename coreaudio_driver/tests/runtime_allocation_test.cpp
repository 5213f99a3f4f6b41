// The IO thread's runtime operations must never allocate: a counting operator new is switched on
// around them. The network thread's per-block operations are held to the same rule, since they
// run once per block too.
#include "test_names.h"

#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* counted_allocation(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

class CountingScope {
public:
    CountingScope() {
        g_allocations.store(0);
        g_counting.store(true);
    }
    ~CountingScope() { g_counting.store(false); }
    long count() const { return g_allocations.load(); }
};

} // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

TEST(RuntimeAllocation, DeviceCycleAndNetworkSideAllocateNothing) {
    VelmoraMac::CoreAudioDebugSharedState debug(VelmoraServerTest::unique_debug_mapping_name());
    ASSERT_TRUE(debug.initialize());
    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    runtime->set_debug_state(&debug);
    auto snapshot = std::make_unique<VelmoraMac::CoreAudioHalRuntime::Snapshot>();
    std::vector<float> input(32 * 4096);
    std::vector<float> output(32 * 4096, 0.5F);
    std::vector<float> client(4 * 4096, 0.25F);
    const std::vector<std::int64_t> map{0, 5, 9, 31};

    long allocations = 0;
    {
        CountingScope scope;
        for (std::uint32_t cycle = 0; cycle < 200; ++cycle) {
            const std::uint32_t frames = cycle % 3 == 0 ? 4096 : 128;
            VelmoraMac::CoreAudioHalBlockTimeline timeline;
            timeline.sequence = runtime->expected_input_sequence() + (cycle % 2);
            timeline.sample_rate = 48000;
            timeline.frames = frames;
            runtime->publish_client_input_block(client.data(), map, timeline);
            runtime->read_prepared_input_block(input.data(), frames, 48000);
            runtime->publish_output_block(cycle % 5 == 0 ? nullptr : output.data(), frames, 48000, cycle);
            if (cycle % 10 != 0) {
                runtime->read_next_output_snapshot(*snapshot);
            }
        }
        allocations = scope.count();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_GT(debug.snapshot().exact_match_count, 0);
    EXPECT_GT(debug.snapshot().output_snapshot_drop_count, 0) << "the full-queue path ran too";
    runtime->set_debug_state(nullptr);
    debug.shutdown();
}

TEST(RuntimeAllocation, CounterSeesAllocations) {
    long allocations = 0;
    {
        CountingScope scope;
        auto vector = std::make_unique<std::vector<int>>(10);
        allocations = scope.count();
    }
    EXPECT_GE(allocations, 2);
}
