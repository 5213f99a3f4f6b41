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

constexpr std::uint32_t kFrames = 64;
constexpr std::size_t kChannels = CoreAudioHalRuntime::kChannels;
constexpr std::size_t kGroup = kChannels / 2; // channels of one client

float pattern(std::uint32_t sequence, std::size_t channel, std::size_t frame) {
    return static_cast<float>((sequence * 131U + channel * 17U + frame) % 65521U) + 1.0F;
}

// A client's channels come from one publish: all silence or all pattern, never a mixture.
bool group_is_intact(const std::vector<float>& block, std::uint32_t sequence, std::size_t first) {
    const bool silent = block[first * kFrames] == 0.0F;
    for (std::size_t i = first * kFrames; i < (first + kGroup) * kFrames; ++i) {
        if (block[i] != (silent ? 0.0F : pattern(sequence, i / kFrames, i % kFrames))) {
            return false;
        }
    }
    return true;
}

bool is_newer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

} // namespace

TEST(RuntimeConcurrency, NeitherSideEverSeesATornBlock) {
    auto runtime = std::make_unique<CoreAudioHalRuntime>();
    runtime->reset_to_sequence(0xFFFFFF00U); // the wrap happens during the run
    std::atomic<bool> io_done{false};
    std::atomic<int> torn_inputs{0}, torn_outputs{0}, out_of_order{0}, exact_reads{0}, snapshots{0};
    std::barrier start(2);

    std::thread io([&] {
        std::vector<float> input(kChannels * kFrames);
        std::vector<float> output(kChannels * kFrames);
        start.arrive_and_wait();
        const auto begin = std::chrono::steady_clock::now();
        auto deadline = begin;
        // Two seconds, longer (up to 30) while a loaded machine has not given the network thread
        // enough turns for the run to mean something.
        auto enough = [&] { return snapshots.load() > 50 && exact_reads.load() > 50; };
        for (auto elapsed = std::chrono::steady_clock::duration::zero();
             elapsed < std::chrono::seconds(2) || (!enough() && elapsed < std::chrono::seconds(30));
             elapsed = std::chrono::steady_clock::now() - begin) {
            const std::uint32_t expected = runtime->expected_input_sequence();
            const CoreAudioHalBlockTimeline read =
                runtime->read_prepared_input_block(input.data(), kFrames, 48000);
            if (read.sample_rate != 0) {
                exact_reads += read.sequence == expected ? 1 : 0;
                if (!group_is_intact(input, read.sequence, 0) ||
                    !group_is_intact(input, read.sequence, kGroup)) {
                    ++torn_inputs;
                }
            }
            // Pause between the input read and the output publish, so the next read follows the
            // counter's advance at once and races the network thread's late publish.
            deadline += std::chrono::microseconds(250);
            std::this_thread::sleep_until(deadline);
            for (std::size_t i = 0; i < output.size(); ++i) {
                output[i] = -pattern(expected, i / kFrames, i % kFrames);
            }
            runtime->publish_output_block(output.data(), kFrames, 48000, 1);
        }
        io_done.store(true);
    });

    std::thread network([&] {
        auto snapshot = std::make_unique<CoreAudioHalRuntime::Snapshot>();
        std::vector<float> group(kGroup * kFrames);
        std::vector<std::int64_t> maps[2];
        for (std::size_t i = 0; i < kGroup; ++i) {
            maps[0].push_back(static_cast<std::int64_t>(i));
            maps[1].push_back(static_cast<std::int64_t>(kGroup + i));
        }
        bool have_output = false, have[2] = {false, false};
        std::uint32_t last_output = 0, last[2] = {0, 0};
        // Publishes client `c`'s block for `sequence` once.
        auto send = [&](int c, std::uint32_t sequence) {
            if (have[c] && !is_newer(sequence, last[c])) {
                return;
            }
            for (std::size_t i = 0; i < group.size(); ++i) {
                group[i] = pattern(sequence, c * kGroup + i / kFrames, i % kFrames);
            }
            CoreAudioHalBlockTimeline timeline;
            timeline.sequence = sequence;
            timeline.sample_rate = 48000;
            timeline.frames = kFrames;
            if (runtime->publish_client_input_block(group.data(), maps[c], timeline)) {
                have[c] = true;
                last[c] = sequence;
            }
        };
        start.arrive_and_wait();
        while (!io_done.load()) {
            while (runtime->read_next_output_snapshot(*snapshot)) {
                ++snapshots;
                out_of_order += have_output && !is_newer(snapshot->sequence, last_output) ? 1 : 0;
                have_output = true;
                last_output = snapshot->sequence;
                bool intact = snapshot->frames == kFrames && snapshot->channels == kChannels;
                for (std::size_t i = 0; intact && i < kChannels * kFrames; ++i) {
                    intact = snapshot->samples[i] == -pattern(snapshot->sequence, i / kFrames, i % kFrames);
                }
                torn_outputs += intact ? 0 : 1;
            }
            // The first client sends up to two blocks ahead; the second only the block the IO
            // thread reads next, at the last moment, so the two threads meet inside that block.
            const std::uint32_t expected = runtime->expected_input_sequence();
            for (std::uint32_t ahead = 0; ahead < 3; ++ahead) {
                send(0, expected + ahead);
            }
            send(1, expected);
            std::this_thread::yield();
        }
    });

    io.join();
    network.join();
    EXPECT_EQ(torn_inputs.load(), 0);
    EXPECT_EQ(torn_outputs.load(), 0);
    EXPECT_EQ(out_of_order.load(), 0);
    EXPECT_GT(snapshots.load(), 50);
    EXPECT_GT(exact_reads.load(), 50);
    EXPECT_TRUE(is_newer(runtime->expected_input_sequence(), 0xFFFFFF00U)) << "the run crossed the wrap";
}
