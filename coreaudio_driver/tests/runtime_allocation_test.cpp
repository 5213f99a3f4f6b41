// The IO thread's runtime operations must never allocate: a counting operator new is switched on
// around them. The network thread's per-block operations are held to the same rule, since they
// run once per block too.
#include "test_names.h"

#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/counting_allocator.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(RuntimeAllocation, DeviceCycleAndNetworkSideAllocateNothing) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    VelmoraMac::CoreAudioDebugSharedState debug(VelmoraServerTest::unique_debug_mapping_name());
    ASSERT_TRUE(debug.initialize());
    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    runtime->set_debug_state(&debug);
    auto snapshot = std::make_unique<VelmoraMac::CoreAudioHalRuntime::Snapshot>();
    std::vector<float> input(32 * 4096);
    std::vector<float> output(32 * 4096, 0.5F);
    std::vector<float> client(4 * 4096, 0.25F);
    const std::vector<std::int64_t> map{0, 5, 9, 31};

    std::uint64_t allocations = 0;
    {
        VelmoraTest::CountingAllocations scope(VelmoraTest::CountingAllocations::Threads::all);
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
    EXPECT_EQ(allocations, 0u);
    EXPECT_GT(debug.snapshot().exact_match_count, 0);
    EXPECT_GT(debug.snapshot().output_snapshot_drop_count, 0) << "the full-queue path ran too";
    runtime->set_debug_state(nullptr);
    debug.shutdown();
}
