#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/counting_allocator.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

using VelmoraMac::CoreAudioHalBlockTimeline;
using VelmoraMac::CoreAudioHalRuntime;
using Samples = std::vector<float>;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 128;
constexpr std::size_t kChannels = CoreAudioHalRuntime::kChannels;
const Samples kSilence(kChannels* kFrames, 0.0F);

// Client block of `channels` rows whose samples say where they came from.
Samples client_block(std::size_t channels, std::uint32_t frames, float base) {
    Samples samples(channels * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = base + static_cast<float>((i / frames) * 1000 + i % frames);
    }
    return samples;
}

CoreAudioHalBlockTimeline timeline_for(std::uint32_t sequence, std::uint32_t frames = kFrames,
                                       std::uint32_t rate = kRate) {
    CoreAudioHalBlockTimeline timeline;
    timeline.sequence = sequence;
    timeline.sample_rate = rate;
    timeline.frames = frames;
    timeline.sample_position = 1000ULL * sequence;
    return timeline;
}

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(debug.initialize());
        runtime->set_debug_state(&debug);
    }
    void TearDown() override { runtime->set_debug_state(nullptr); }

    // One device cycle: read the input, then publish silence as the output.
    CoreAudioHalBlockTimeline cycle(Samples& input) {
        input.assign(kChannels * kFrames, -1.0F);
        const CoreAudioHalBlockTimeline timeline =
            runtime->read_prepared_input_block(input.data(), kFrames, kRate);
        runtime->publish_output_block(nullptr, kFrames, kRate, 1);
        return timeline;
    }
    bool publish(const Samples& block, const std::vector<std::int64_t>& map,
                 const CoreAudioHalBlockTimeline& at) {
        return runtime->publish_client_input_block(block.data(), map, at);
    }
    VelmoraDebug::SharedStats stats() const { return debug.snapshot(); }

    VelmoraMac::CoreAudioDebugSharedState debug{VelmoraTest::unique_shared_name("VelmoraDebugStats_test")};
    std::unique_ptr<CoreAudioHalRuntime> runtime = std::make_unique<CoreAudioHalRuntime>();
    std::unique_ptr<CoreAudioHalRuntime::Snapshot> snapshot =
        std::make_unique<CoreAudioHalRuntime::Snapshot>();
};

} // namespace

TEST_F(RuntimeTest, ExactThenFallbackOnceThenZeroFill) {
    ASSERT_TRUE(CoreAudioHalRuntime::atomics_are_lock_free());
    const Samples block = client_block(kChannels, kFrames, 1.0F);
    std::vector<std::int64_t> identity;
    for (std::size_t i = 0; i < kChannels; ++i) {
        identity.push_back(static_cast<std::int64_t>(i));
    }
    ASSERT_TRUE(publish(block, identity, timeline_for(0)));
    Samples input;
    CoreAudioHalBlockTimeline timeline = cycle(input);
    EXPECT_EQ(input, block);
    EXPECT_EQ(timeline.sequence, 0U);
    EXPECT_EQ(timeline.sample_position, 0U);
    EXPECT_EQ(stats().exact_match_count, 1);
    EXPECT_EQ(stats().last_sequence_delta, 0);

    timeline = cycle(input);
    EXPECT_EQ(input, block) << "the last block stands in for the missing one";
    EXPECT_EQ(timeline.sequence, 0U);
    EXPECT_EQ(stats().fallback_last_block_count, 1);
    EXPECT_EQ(stats().last_sequence_delta, -1);

    timeline = cycle(input);
    EXPECT_EQ(input, kSilence);
    EXPECT_EQ(timeline.sample_rate, 0U);
    EXPECT_EQ(stats().zero_fill_count, 1);
    EXPECT_EQ(stats().last_sequence_delta, VelmoraDebug::kNoSequenceDelta);
    EXPECT_EQ(stats().max_sequence_delta, 1);
}

TEST_F(RuntimeTest, ClientsAndChannelsOnOneDeviceChannelAreSummed) {
    const Samples first = client_block(2, kFrames, 1.0F);
    const Samples second = client_block(1, kFrames, 0.5F);
    // First client: its channel 0 to device 3 and its channel 1 to device 7; second: device 3.
    ASSERT_TRUE(publish(first, {3, 7}, timeline_for(0)));
    ASSERT_TRUE(publish(second, {3, -1, 40}, timeline_for(0)));
    Samples input;
    cycle(input);
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(input[3 * kFrames + f], first[f] + second[f]);
        ASSERT_EQ(input[7 * kFrames + f], first[kFrames + f]);
        ASSERT_EQ(input[f], 0.0F);
    }
}

// Bad blocks are refused; a block of another rate or size is never used; bad output blocks consume
// no sequence.
TEST_F(RuntimeTest, InvalidBlocksChangeNothing) {
    const Samples block = client_block(1, 4097, 1.0F);
    EXPECT_FALSE(runtime->publish_client_input_block(nullptr, {0}, timeline_for(0)));
    for (const CoreAudioHalBlockTimeline& bad :
         {timeline_for(0, 0), timeline_for(0, 4097), timeline_for(0, kFrames, 0)}) {
        EXPECT_FALSE(publish(block, {0}, bad));
    }
    EXPECT_TRUE(publish(block, {0}, timeline_for(0, kFrames, 44100)));
    EXPECT_TRUE(publish(block, {0}, timeline_for(1, 64)));
    EXPECT_EQ(runtime->publish_output_block(nullptr, 4097, kRate, 1).sample_rate, 0U);
    runtime->publish_output_block(nullptr, kFrames, 0, 1);
    EXPECT_EQ(runtime->expected_input_sequence(), 0U);
    Samples input;
    cycle(input);
    cycle(input);
    EXPECT_EQ(stats().exact_match_count, 0);
    EXPECT_EQ(stats().zero_fill_count, 2);
}

TEST_F(RuntimeTest, InputFarAheadCannotOverwriteBlocksTheDeviceStillNeeds) {
    const Samples near = client_block(1, kFrames, 1.0F);
    const Samples far = client_block(1, kFrames, 9.0F);
    ASSERT_TRUE(publish(near, {0}, timeline_for(0)));
    EXPECT_TRUE(publish(far, {1}, timeline_for(63)));
    // Slot 64 mod 64 holds block 0, which the device reads next: refused.
    EXPECT_FALSE(publish(far, {0}, timeline_for(64)));
    EXPECT_FALSE(publish(far, {0}, timeline_for(200)));
    Samples input;
    EXPECT_EQ(cycle(input).sequence, 0U);
    EXPECT_EQ(Samples(input.begin(), input.begin() + kFrames), near);
    // Block 0 is behind the device now; writing it would land in the slot of block 64.
    EXPECT_FALSE(publish(near, {0}, timeline_for(0)));
    EXPECT_TRUE(publish(far, {0}, timeline_for(64)));
}

TEST_F(RuntimeTest, NineBlocksWithoutAReaderDropTheNinth) {
    Samples output(kChannels * kFrames);
    for (std::uint32_t i = 0; i < 9; ++i) {
        output[0] = static_cast<float>(i);
        const CoreAudioHalBlockTimeline timeline =
            runtime->publish_output_block(output.data(), kFrames, kRate, 100 + i);
        EXPECT_EQ(timeline.sequence, i);
        EXPECT_EQ(timeline.sample_position, i * kFrames);
    }
    EXPECT_EQ(stats().output_snapshot_drop_count, 1);
    EXPECT_EQ(stats().last_queue_depth, 8);
    EXPECT_EQ(runtime->expected_input_sequence(), 9U);
    for (std::uint32_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(runtime->read_next_output_snapshot(*snapshot));
        EXPECT_EQ(snapshot->sequence, i);
        EXPECT_EQ(snapshot->samples[0], static_cast<float>(i));
        EXPECT_EQ(snapshot->host_time_ns, 100U + i);
        EXPECT_EQ(snapshot->channels, 32);
        EXPECT_EQ(snapshot->channel_map[31], 31);
    }
    EXPECT_EQ(stats().last_queue_depth, 0);
    EXPECT_FALSE(runtime->read_next_output_snapshot(*snapshot));
    runtime->publish_output_block(nullptr, kFrames, kRate, 0);
    ASSERT_TRUE(runtime->read_next_output_snapshot(*snapshot));
    EXPECT_EQ(snapshot->sequence, 9U) << "the dropped block's sequence stays consumed";
    EXPECT_EQ(Samples(snapshot->samples.begin(), snapshot->samples.begin() + kSilence.size()), kSilence)
        << "no output is a silent block";
}

TEST_F(RuntimeTest, ResetForgetsInputQueueAndCounters) {
    const Samples block = client_block(1, kFrames, 1.0F);
    ASSERT_TRUE(publish(block, {0}, timeline_for(0)));
    Samples input;
    cycle(input);
    runtime->publish_output_block(nullptr, kFrames, kRate, 1);
    ASSERT_TRUE(publish(block, {0}, timeline_for(2)));
    debug.set_last_sequence_delta(4);
    runtime->reset();
    EXPECT_EQ(runtime->expected_input_sequence(), 0U);
    EXPECT_FALSE(runtime->read_next_output_snapshot(*snapshot));
    EXPECT_EQ(stats().last_queue_depth, 0);
    EXPECT_EQ(stats().last_sequence_delta, VelmoraDebug::kNoSequenceDelta);
    // Neither the old block 0 nor the last block survive.
    EXPECT_EQ(cycle(input).sample_rate, 0U);
    const CoreAudioHalBlockTimeline position = runtime->publish_output_block(nullptr, kFrames, kRate, 1);
    EXPECT_EQ(position.sample_position, kFrames) << "the first cycle after reset started at 0";
    // Restarting the position keeps the sequence.
    runtime->restart_sample_position();
    const CoreAudioHalBlockTimeline restarted = runtime->publish_output_block(nullptr, kFrames, kRate, 1);
    EXPECT_EQ(restarted.sequence, position.sequence + 1);
    EXPECT_EQ(restarted.sample_position, 0U);
}

TEST_F(RuntimeTest, SequencesAndQueueWrapAround) {
    runtime->reset_to_sequence(0xFFFFFFFEU);
    const Samples block = client_block(1, kFrames, 3.0F);
    const std::uint32_t sequences[] = {0xFFFFFFFEU, 0xFFFFFFFFU, 0U, 1U}; // and the queue's indices wrap
    for (std::uint32_t s : sequences) {
        ASSERT_TRUE(publish(block, {5}, timeline_for(s))) << s;
    }
    Samples input;
    for (std::uint32_t s : sequences) {
        EXPECT_EQ(cycle(input).sequence, s);
        EXPECT_EQ(input[5 * kFrames + 1], block[1]);
    }
    EXPECT_EQ(stats().exact_match_count, 4);
    for (std::uint32_t s : sequences) {
        ASSERT_TRUE(runtime->read_next_output_snapshot(*snapshot));
        EXPECT_EQ(snapshot->sequence, s);
    }
}

// The IO thread's operations must never allocate, nor the network thread's per-block ones.
TEST_F(RuntimeTest, DeviceCycleAndNetworkSideAllocateNothing) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    Samples input(32 * 4096);
    const Samples output(32 * 4096, 0.5F);
    const Samples client(4 * 4096, 0.25F);
    const std::vector<std::int64_t> map{0, 5, 9, 31};
    std::uint64_t allocations = 0;
    {
        VelmoraTest::CountingAllocations scope(VelmoraTest::CountingAllocations::Threads::all);
        for (std::uint32_t cycle = 0; cycle < 200; ++cycle) {
            const std::uint32_t frames = cycle % 3 == 0 ? 4096 : 128;
            publish(client, map, timeline_for(runtime->expected_input_sequence() + cycle % 2, frames));
            runtime->read_prepared_input_block(input.data(), frames, kRate);
            runtime->publish_output_block(cycle % 5 == 0 ? nullptr : output.data(), frames, kRate, cycle);
            if (cycle % 10 != 0) {
                runtime->read_next_output_snapshot(*snapshot);
            }
        }
        allocations = scope.count();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_GT(stats().exact_match_count, 0);
    EXPECT_GT(stats().output_snapshot_drop_count, 0) << "the full-queue path ran too";
}
