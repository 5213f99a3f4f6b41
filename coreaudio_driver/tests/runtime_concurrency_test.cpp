// The device runtime between two real threads: one standing in for the IO thread (reads input,
// publishes output at a steady cadence), one for the network thread (takes output snapshots,
// publishes two clients' input, including into the very block the IO thread is about to read).
// Every block carries a pattern derived from its sequence, so a torn copy shows. Run under
// ThreadSanitizer with -DVELMORA_TSAN=ON.
#include <velmora/server/core_audio_hal_runtime.h>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

using VelmoraMac::CoreAudioHalBlockTimeline;
using VelmoraMac::CoreAudioHalRuntime;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 64;
constexpr std::size_t kChannels = CoreAudioHalRuntime::kChannels;
constexpr std::size_t kGroupChannels = kChannels / 2;

float input_pattern(std::uint32_t sequence, std::size_t channel, std::size_t frame) {
    return static_cast<float>((sequence * 131U + channel * 17U + frame) % 65521U) + 1.0F;
}

float output_pattern(std::uint32_t sequence, std::size_t channel, std::size_t frame) {
    return -input_pattern(sequence, channel, frame);
}

// A group of channels is written by one client in one publish: it must read as all silence or
// all pattern, never a mixture.
bool group_is_intact(const std::vector<float>& block, std::uint32_t sequence, std::size_t first_channel) {
    const bool silent = block[first_channel * kFrames] == 0.0F;
    for (std::size_t c = first_channel; c < first_channel + kGroupChannels; ++c) {
        for (std::size_t f = 0; f < kFrames; ++f) {
            const float expected = silent ? 0.0F : input_pattern(sequence, c, f);
            if (block[c * kFrames + f] != expected) {
                return false;
            }
        }
    }
    return true;
}

void fill(std::vector<float>& group, std::uint32_t sequence, std::size_t first_channel) {
    for (std::size_t c = 0; c < kGroupChannels; ++c) {
        for (std::size_t f = 0; f < kFrames; ++f) {
            group[c * kFrames + f] = input_pattern(sequence, first_channel + c, f);
        }
    }
}

CoreAudioHalBlockTimeline timeline_for(std::uint32_t sequence) {
    CoreAudioHalBlockTimeline timeline;
    timeline.sequence = sequence;
    timeline.sample_rate = kRate;
    timeline.frames = kFrames;
    return timeline;
}

bool is_newer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

} // namespace

TEST(RuntimeConcurrency, NeitherSideEverSeesATornBlock) {
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    // Start just below the wrap so it happens during the run.
    runtime->reset_to_sequence(0xFFFFFF00U);
    // Two seconds, longer (up to 30) while a loaded machine has not given the network thread
    // enough turns for the run to mean something.
    const auto run_for = std::chrono::milliseconds(2000);
    const auto give_up = std::chrono::milliseconds(30000);
    const auto period = std::chrono::microseconds(250);

    std::atomic<bool> io_done{false};
    std::atomic<int> torn_inputs{0};
    std::atomic<int> torn_outputs{0};
    std::atomic<int> out_of_order_outputs{0};
    std::atomic<int> exact_reads{0};
    std::atomic<int> complete_reads{0};
    std::atomic<int> partial_reads{0};
    std::atomic<int> snapshots_taken{0};
    std::barrier start(2);

    std::thread io([&] {
        std::vector<float> input(kChannels * kFrames);
        std::vector<float> output(kChannels * kFrames);
        start.arrive_and_wait();
        const auto begin = std::chrono::steady_clock::now();
        auto deadline = begin;
        auto enough = [&] {
            return snapshots_taken.load() > 50 && exact_reads.load() > 50 &&
                   complete_reads.load() + partial_reads.load() > 50;
        };
        for (auto elapsed = std::chrono::steady_clock::duration::zero();
             elapsed < run_for || (!enough() && elapsed < give_up);
             elapsed = std::chrono::steady_clock::now() - begin) {
            const std::uint32_t expected = runtime->expected_input_sequence();
            const CoreAudioHalBlockTimeline timeline =
                runtime->read_prepared_input_block(input.data(), kFrames, kRate);
            if (timeline.sample_rate != 0) {
                if (timeline.sequence == expected) {
                    exact_reads.fetch_add(1, std::memory_order_relaxed);
                }
                const bool first = group_is_intact(input, timeline.sequence, 0);
                const bool second = group_is_intact(input, timeline.sequence, kGroupChannels);
                if (!first || !second) {
                    torn_inputs.fetch_add(1, std::memory_order_relaxed);
                } else if (input[kGroupChannels * kFrames] != 0.0F) {
                    complete_reads.fetch_add(1, std::memory_order_relaxed);
                } else {
                    partial_reads.fetch_add(1, std::memory_order_relaxed);
                }
            }
            // Pause between the input read and the output publish, so the next read follows
            // the counter's advance at once and races the network thread's late publish.
            deadline += period;
            std::this_thread::sleep_until(deadline);
            for (std::size_t c = 0; c < kChannels; ++c) {
                for (std::size_t f = 0; f < kFrames; ++f) {
                    output[c * kFrames + f] = output_pattern(expected, c, f);
                }
            }
            runtime->publish_output_block(output.data(), kFrames, kRate, 1);
        }
        io_done.store(true, std::memory_order_release);
    });

    std::thread network([&] {
        auto snapshot = std::make_unique<CoreAudioHalRuntime::Snapshot>();
        std::vector<float> first(kGroupChannels * kFrames);
        std::vector<float> second(kGroupChannels * kFrames);
        std::vector<std::int64_t> first_map(kGroupChannels);
        std::vector<std::int64_t> second_map(kGroupChannels);
        for (std::size_t i = 0; i < kGroupChannels; ++i) {
            first_map[i] = static_cast<std::int64_t>(i);
            second_map[i] = static_cast<std::int64_t>(kGroupChannels + i);
        }
        bool have_last_output = false;
        std::uint32_t last_output = 0;
        bool have_first = false;
        std::uint32_t last_first = 0;
        bool have_second = false;
        std::uint32_t last_second = 0;
        start.arrive_and_wait();
        while (!io_done.load(std::memory_order_acquire)) {
            while (runtime->read_next_output_snapshot(*snapshot)) {
                snapshots_taken.fetch_add(1, std::memory_order_relaxed);
                if (have_last_output && !is_newer(snapshot->sequence, last_output)) {
                    out_of_order_outputs.fetch_add(1, std::memory_order_relaxed);
                }
                have_last_output = true;
                last_output = snapshot->sequence;
                bool intact = snapshot->frames == kFrames && snapshot->channels == kChannels;
                for (std::size_t c = 0; intact && c < kChannels; ++c) {
                    for (std::size_t f = 0; f < kFrames; ++f) {
                        if (snapshot->samples[c * kFrames + f] != output_pattern(snapshot->sequence, c, f)) {
                            intact = false;
                            break;
                        }
                    }
                }
                if (!intact) {
                    torn_outputs.fetch_add(1, std::memory_order_relaxed);
                }
            }
            // The first client sends its input early (up to two blocks ahead); the second only
            // for the block the IO thread reads next, at the last moment, so the two threads
            // meet inside that block.
            const std::uint32_t expected = runtime->expected_input_sequence();
            for (std::uint32_t ahead = 0; ahead < 3; ++ahead) {
                const std::uint32_t sequence = expected + ahead;
                if (have_first && !is_newer(sequence, last_first)) {
                    continue;
                }
                fill(first, sequence, 0);
                if (runtime->publish_client_input_block(first.data(), first_map, timeline_for(sequence))) {
                    have_first = true;
                    last_first = sequence;
                }
            }
            if (!have_second || is_newer(expected, last_second)) {
                fill(second, expected, kGroupChannels);
                if (runtime->publish_client_input_block(second.data(), second_map, timeline_for(expected))) {
                    have_second = true;
                    last_second = expected;
                }
            }
            std::this_thread::yield();
        }
    });

    io.join();
    network.join();
    EXPECT_EQ(torn_inputs.load(), 0);
    EXPECT_EQ(torn_outputs.load(), 0);
    EXPECT_EQ(out_of_order_outputs.load(), 0);
    // Enough traffic to mean something even on a loaded machine under ThreadSanitizer.
    EXPECT_GT(snapshots_taken.load(), 50);
    EXPECT_GT(exact_reads.load(), 50);
    EXPECT_GT(complete_reads.load() + partial_reads.load(), 50);
    EXPECT_TRUE(is_newer(runtime->expected_input_sequence(), 0xFFFFFF00U)) << "the run crossed the wrap";
    std::printf("io cycles %u, exact reads %d, with both clients %d, first client only %d, snapshots %d\n",
                runtime->expected_input_sequence() - 0xFFFFFF00U, exact_reads.load(), complete_reads.load(),
                partial_reads.load(), snapshots_taken.load());
}
