// The real-time paths (the device cycle and the loopback cycle) neither allocate nor lock: this
// binary counts every allocation (the shared counting allocator) and every mutex lock made by a
// thread while it is marked as being inside such a cycle.
#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>
#include <velmora/test_support/counting_allocator.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cmath>
#include <mutex>
#include <optional>

namespace {

thread_local bool counting_locks = false;
std::atomic<std::uint64_t> locks{0};

} // namespace

// std::mutex locks through pthread_mutex_lock; this definition sees every call and forwards it.
// ThreadSanitizer intercepts the same function, and owns the allocator: its build skips these tests.
#if !defined(VELMORA_NO_ALLOCATOR_REPLACEMENT)
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    using Lock = int (*)(pthread_mutex_t*);
    static const Lock next = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    if (counting_locks) {
        locks.fetch_add(1, std::memory_order_relaxed);
    }
    return next(mutex);
}
#endif

namespace {

using VelmoraTest::CountingAllocations;

// Marks the calling thread as inside a real-time cycle (or not).
void in_cycle(bool inside) {
    VelmoraTest::track_current_thread(inside);
    counting_locks = inside;
}

class RealtimeCycle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VelmoraTest::counting_allocator_available()) {
            GTEST_SKIP() << "this build's sanitizer owns the allocator";
        }
    }
};

TEST_F(RealtimeCycle, DeviceCycleNeitherAllocatesNorLocks) {
    std::mutex mutex;
    const std::uint64_t before = locks.load();
    in_cycle(true);
    { std::lock_guard lock(mutex); }
    in_cycle(false);
    ASSERT_EQ(locks.load() - before, 1u) << "the lock counter sees std::mutex";

    VirtualPlayerClock clock(5000000000000ull);
    ScriptedAudioDevice* device = nullptr;
    AsioPlayer player(ScriptedAudioDevice::factory(device), clock);
    AudioDeviceSettings s;
    s.output_channel_map = {0, 1, 2, 3};
    s.input_channel_map = {0, 1};
    std::uint64_t captured = 0;
    ASSERT_TRUE(player.start(
        s, [](const std::string&) {},
        [&captured](unsigned, unsigned short, unsigned short, const std::vector<float>&) { ++captured; },
        [](const AsioPlayer::Telemetry&) {}));
    device->input[0].assign(128, 0.25f);
    device->input[1].assign(128, -0.5f);
    std::vector<float> block(4 * 128);
    std::uint64_t allocations = 0;
    for (unsigned cycle = 0; cycle < 2000; ++cycle) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(cycle * 128 + i % 128)));
        }
        if (cycle % 97 != 0) { // an occasional missing block keeps the ratio moving
            VelmoraProtocol::SyncInfo sync;
            sync.server_sample_time = cycle * 128ull;
            player.update_remote_timeline(sync);
            player.submit_playback_block(cycle, 48000, 128, 4, block, clock.now_ns() - 1000, 0,
                                         clock.now_ns() - 500);
        }
        clock.advance_ns(2666667);
        CountingAllocations scope;
        in_cycle(true);
        device->cycle();
        in_cycle(false);
        allocations += scope.count();
    }
    player.stop();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(locks.load() - before, 1u);
    EXPECT_GT(captured, 1900u);
}

TEST_F(RealtimeCycle, LoopbackThreadDoesNotAllocate) {
    // The loopback thread plays the flush role too, so it takes the flush mutex by design; what
    // is checked is that neither its cycles nor its statistics allocate.
    VirtualPlayerClock clock(1000000000ull);
    clock.read_step_ns = 1000;
    AsioPlayer player([] { return std::unique_ptr<AudioDevice>(); }, clock);
    std::uint64_t next_block = 0;
    std::vector<float> block(2 * 128, 0.5f);
    clock.on_advance = [&](std::uint64_t now) {
        // Feeding stands for the network thread: not counted.
        VelmoraTest::track_current_thread(false);
        while (1000000000.0 + static_cast<double>(next_block) * 2666666.67 <= static_cast<double>(now)) {
            player.submit_playback_block(static_cast<unsigned>(next_block++), 48000, 128, 2, block, 0, 0, 0);
        }
        VelmoraTest::track_current_thread(true);
    };
    AudioDeviceSettings s;
    s.output_channel_map = s.input_channel_map = {0, 1};
    s.prebuffer_blocks = 2;
    s.target_queue_depth = 3;
    s.loopback_callback_duplicate_every = 10;
    s.loopback_callback_duplicate_count = 1;
    s.loopback_callback_jitter_max_ms = 1;
    s.loopback_input_silence_every_ms = 500;
    s.loopback_input_silence_duration_ms = 50;
    std::atomic<std::uint64_t> lines{0};
    std::atomic<std::uint64_t> captured{0};
    std::optional<CountingAllocations> scope(std::in_place);
    ASSERT_TRUE(player.start_loopback(
        s, [&lines](const std::string&) { ++lines; },
        [&captured](unsigned, unsigned short, unsigned short, const std::vector<float>&) { ++captured; },
        [](const AsioPlayer::Telemetry&) {}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (clock.now_ns() < 6000000000ull && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint64_t allocations = scope->count();
    scope.reset();
    player.stop();
    EXPECT_GE(clock.now_ns(), 6000000000ull);
    EXPECT_GE(lines.load(), 8u);
    EXPECT_GT(captured.load(), 1500u);
    EXPECT_EQ(allocations, 0u);
}

} // namespace
