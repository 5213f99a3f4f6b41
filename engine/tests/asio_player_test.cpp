#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>
#include <velmora/engine/loopback_schedule.h>
#include <velmora/test_support/counting_allocator.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cmath>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>

namespace {

thread_local bool counting_locks = false;
std::atomic<std::uint64_t> locks{0};

} // namespace

// The real-time cycles must not lock either: std::mutex locks through pthread_mutex_lock, and this
// definition counts the calls made inside a cycle and forwards every call. ThreadSanitizer
// intercepts the same function, and owns the allocator: its build skips the real-time tests.
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

constexpr std::uint64_t ms = 1000000;
constexpr std::uint64_t t0 = 5000000000000ull; // 5000 s of host time: far past any 64-bit overflow of x 1e9
constexpr double nominal_step = 128.0 * 1e9 / 48000.0;

AudioDeviceSettings settings(std::size_t outputs, std::size_t inputs = 0) {
    AudioDeviceSettings s;
    s.output_channel_map.resize(outputs);
    s.input_channel_map.resize(inputs);
    std::iota(s.output_channel_map.begin(), s.output_channel_map.end(), 0L);
    std::iota(s.input_channel_map.begin(), s.input_channel_map.end(), 0L);
    return s;
}

double since_t0(std::uint64_t ns) {
    return static_cast<double>(ns - t0);
}

// Whether the calling thread's allocations count; a loopback thread is counted from its first wait on.
thread_local bool tracked = false;
void track(bool on) {
    tracked = on;
    VelmoraTest::track_current_thread(on);
}
// Runs test bookkeeping (a stand-in network thread, recording what the player reports) uncounted.
template <typename Function>
void uncounted(Function&& f) {
    const bool was = tracked;
    track(false);
    f();
    track(was);
}

// A player on scripted devices (or the loopback) and a simulated clock, with everything it reports
// recorded with the host time it was reported at.
struct Rig {
    VirtualPlayerClock clock{t0};
    ScriptedAudioDevice* device = nullptr;
    std::function<void(ScriptedAudioDevice&)> configure_device = [](ScriptedAudioDevice&) {};
    int devices_created = 0;
    bool feed = true;
    std::uint64_t next_block = 0;
    std::vector<std::string> log_lines;
    std::vector<std::pair<std::uint64_t, std::vector<float>>> captured;
    std::vector<std::pair<std::uint64_t, AsioPlayer::Telemetry>> telemetry;
    std::vector<std::uint64_t> woke; // the clock after each move the loopback thread made
    std::optional<VelmoraTest::CountingAllocations> loopback_allocations;
    AsioPlayer player{[this] {
                          auto created = std::make_unique<ScriptedAudioDevice>();
                          configure_device(*created);
                          device = created.get();
                          ++devices_created;
                          return created;
                      },
                      clock};

    bool start(const AudioDeviceSettings& s, bool loopback = false) {
        const auto log = [this](const std::string& line) { uncounted([&] { log_lines.push_back(line); }); };
        const auto capture = [this](unsigned, unsigned short, unsigned short,
                                    const std::vector<float>& samples) {
            uncounted([&] { captured.emplace_back(clock.now_ns(), samples); });
        };
        const auto publish = [this](const AsioPlayer::Telemetry& t) {
            uncounted([&] { telemetry.emplace_back(clock.now_ns(), t); });
        };
        if (!loopback) {
            return player.start(s, log, capture, publish);
        }
        // Whenever the loopback thread moves the clock, the server blocks due by then arrive as from
        // a network thread at the nominal rate: channel 0 carries 0.5, channel 1 the sequence.
        clock.read_step_ns = 1000;
        clock.on_advance = [this](std::uint64_t now) {
            track(false);
            woke.push_back(now);
            for (; feed && static_cast<double>(next_block) * nominal_step <= since_t0(now); ++next_block) {
                std::vector<float> block(256, 0.5f);
                std::fill(block.begin() + 128, block.end(), static_cast<float>(next_block));
                player.submit_playback_block(static_cast<unsigned>(next_block), 48000, 128, 2, block, 0, 0,
                                             0);
            }
            track(true);
        };
        loopback_allocations.emplace();
        return player.start_loopback(s, log, capture, publish);
    }
    // One server block whose channel c holds `value(c, frame)`.
    void submit(unsigned sequence, std::size_t channels,
                const std::function<float(std::size_t, std::size_t)>& value, std::size_t frames = 128,
                unsigned rate = 48000, std::uint64_t append_ns = 0, std::uint64_t server_ns = 0) {
        std::vector<float> samples(channels * frames);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = value(i / frames, i % frames);
        }
        player.submit_playback_block(sequence, rate, static_cast<unsigned short>(frames),
                                     static_cast<unsigned short>(channels), samples, server_ns, append_ns,
                                     append_ns);
    }
    void submit_constant(unsigned sequence, float value, std::size_t channels = 2) {
        submit(sequence, channels, [value](std::size_t, std::size_t) { return value; });
    }
    void cycles(int n) {
        for (int i = 0; i < n; ++i) {
            device->cycle();
        }
    }
    // Publishes telemetry now (a simulated second later) and returns it.
    AsioPlayer::Telemetry publish() {
        clock.advance_ns(1000000000ull);
        player.flush_non_realtime_work();
        return telemetry.empty() ? AsioPlayer::Telemetry{} : telemetry.back().second;
    }
    // Loopback: lets the thread run until `seconds` of simulated time have passed, then stops it.
    // Whatever faults it injects, neither its cycles nor its statistics allocate (it plays the
    // flush role too, so it does take the flush mutex by design).
    void run_for(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (since_t0(clock.now_ns()) < seconds * 1e9 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::uint64_t allocations = loopback_allocations->count();
        player.stop();
        ASSERT_GE(since_t0(clock.now_ns()), seconds * 1e9) << "the loopback thread stopped moving";
        EXPECT_EQ(allocations, 0u) << "allocations on the loopback thread";
    }
    std::uint64_t cycle_of(std::size_t capture) const {
        return static_cast<std::uint64_t>(std::llround(since_t0(captured[capture].first) / nominal_step));
    }
};

TEST(AsioPlayerStart, RefusalsLeaveThePlayerStoppedWithTheirExactMessages) {
    struct Case {
        std::vector<long> outputs;
        std::vector<long> inputs;
        bool loopback;
        std::uint32_t rate;
        const char* message;
    };
    // Invalid maps are refused before any device is opened.
    const Case cases[] = {
        {{0, -1}, {}, false, 48000, "[asio] output_channel_map contains a negative channel."},
        {{0, 2, 0}, {}, false, 48000, "[asio] output_channel_map contains duplicate hardware channels."},
        {{0}, {-3}, false, 48000, "[asio] input_channel_map contains a negative channel."},
        {{0}, {1, 1}, false, 48000, "[asio] input_channel_map contains duplicate hardware channels."},
        {{}, {}, false, 48000, "[asio] both output_channel_map and input_channel_map are empty."},
        {{0}, {0}, true, 0, "[asio] loopback requires a non-zero sample rate and block size."},
        {{0}, {}, true, 48000, "[asio] loopback requires both output and input channel maps."},
    };
    for (const Case& c : cases) {
        Rig rig;
        AudioDeviceSettings s;
        s.output_channel_map = c.outputs;
        s.input_channel_map = c.inputs;
        s.sample_rate = c.rate;
        EXPECT_FALSE(rig.start(s, c.loopback));
        EXPECT_EQ(rig.log_lines, std::vector<std::string>{c.message});
        EXPECT_EQ(rig.devices_created, 0);
    }
    const std::pair<std::function<void(ScriptedAudioDevice&)>, const char*> devices[] = {
        {[](ScriptedAudioDevice& d) { d.open_succeeds = false; }, "[test] scripted device refused to open"},
        {[](ScriptedAudioDevice& d) { d.start_succeeds = false; }, "[audio] device start failed."},
    };
    for (const auto& [configure, message] : devices) {
        Rig rig;
        rig.configure_device = configure;
        EXPECT_FALSE(rig.start(settings(2)));
        rig.publish(); // stopped: callbacks dropped, nothing more is reported
        EXPECT_EQ(rig.log_lines, std::vector<std::string>{message});
        EXPECT_TRUE(rig.telemetry.empty());
    }
}

TEST(AsioPlayerPlayback, PrebuffersExactlyPrebufferBlocksThenReadsAtTheSteeredRatio) {
    Rig rig;
    AudioDeviceSettings s = settings(1);
    s.prebuffer_blocks = 5;
    s.target_queue_depth = 6;
    ASSERT_TRUE(rig.start(s));
    // A ramp (value = frame index across blocks) makes linear interpolation exact, so the output
    // shows the read position.
    const auto ramp = [](unsigned b) {
        return [b](std::size_t, std::size_t i) { return float(b * 128 + i); };
    };
    for (unsigned b = 0; b < 4; ++b) {
        rig.submit(b, 1, ramp(b));
        rig.device->cycle();
        EXPECT_TRUE(rig.device->output_was_silence_request[0]) << "block " << b;
    }
    rig.submit(4, 1, ramp(4));
    EXPECT_EQ(rig.player.get_playback_buffered_frames(), 640u);
    rig.device->cycle();
    ASSERT_FALSE(rig.device->output_was_silence_request[0]);
    // The worked example: 640 frames queued against a 768-frame target.
    const double ratio = 0.9999417;
    EXPECT_NEAR(rig.player.compute_playback_ratio(640), ratio, 1e-7);
    const std::vector<float>& out = rig.device->output[0];
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_NEAR(out[1], ratio, 1e-6);
    EXPECT_NEAR(out[127], 127 * ratio, 1e-4);
    // The read index advanced by 127 frames, the phase keeps ~0.9925.
    EXPECT_EQ(rig.player.get_playback_buffered_frames(), 640u - 127u);
    rig.device->cycle();
    EXPECT_NEAR(rig.device->output[0][0], 127.9925, 1e-4);
}

TEST(AsioPlayerPlayback, StarvationFallsBackToPrebufferingAfterMaxOfPrebufferAndThreeCycles) {
    for (std::size_t prebuffer : {1u, 2u, 5u}) {
        SCOPED_TRACE(prebuffer);
        Rig rig;
        AudioDeviceSettings s = settings(1);
        s.prebuffer_blocks = s.target_queue_depth = prebuffer;
        s.max_queue_blocks = prebuffer + 4;
        ASSERT_TRUE(rig.start(s));
        unsigned sequence = 0;
        for (; sequence < prebuffer; ++sequence) {
            rig.submit_constant(sequence, 0.5f, 1);
        }
        // Drain the queue completely.
        for (bool first = true; rig.player.get_playback_buffered_frames() >= 128 || first; first = false) {
            rig.device->cycle();
            ASSERT_FALSE(rig.device->output_was_silence_request[0]);
        }
        const std::size_t limit = std::max<std::size_t>(prebuffer, 3);
        for (std::size_t starved = 1; starved <= limit; ++starved) {
            rig.device->cycle();
            EXPECT_TRUE(rig.device->output_was_silence_request[0]);
        }
        EXPECT_EQ(rig.publish().underrun_count, limit);
        // Prebuffering again: one block is not enough unless prebuffer is 1, and silent cycles are
        // no longer underruns.
        rig.submit_constant(sequence++, 0.5f, 1);
        rig.device->cycle();
        EXPECT_EQ(rig.device->output_was_silence_request[0], prebuffer > 1);
        if (prebuffer > 1) {
            rig.device->cycle();
            EXPECT_EQ(rig.publish().underrun_count, limit);
        }
    }
}

TEST(AsioPlayerPlayback, FullQueuesAndWrongFormatsDropWholeBlocksCountedApart) {
    Rig rig;
    AudioDeviceSettings s = settings(2);
    s.max_queue_blocks = 4;
    ASSERT_TRUE(rig.start(s));
    const auto half = [](std::size_t, std::size_t) { return 0.5f; };
    rig.submit(0, 2, half, 64);                                                           // 64 frames
    rig.submit(1, 2, half, 128, 44100);                                                   // other rate
    rig.submit(2, 3, half);                                                               // 3 channels
    rig.player.submit_playback_block(3, 48000, 128, 2, {}, 0, 0, 0);                      // empty: ignored
    rig.player.submit_playback_block(4, 48000, 128, 2, std::vector<float>(100), 0, 0, 0); // short
    EXPECT_EQ(rig.player.get_playback_buffered_frames(), 0u);
    for (unsigned b = 5; b < 10; ++b) {
        rig.submit_constant(b, 0.1f * static_cast<float>(b));
    }
    EXPECT_EQ(rig.player.get_playback_buffered_frames(), 512u) << "the fifth block finds the queue full";
    const AsioPlayer::Telemetry t = rig.publish();
    EXPECT_EQ(t.format_mismatch_count, 2u);
    EXPECT_EQ(t.overrun_count, 1u);
    EXPECT_EQ(t.playback_dropped_count, 5u);
}

TEST(AsioPlayerMeters, PeaksInTheMilliScaleSampledEveryStrideCycles) {
    for (const auto& [sample, milli] : std::initializer_list<std::pair<float, unsigned>>{
             {1.5f, 1000}, {-1.0f, 1000}, {0.0004f, 0}, {0.0005f, 1}, {-0.25f, 250}, {0.9994f, 999}}) {
        const float samples[3] = {0.0f, sample, 0.0f};
        EXPECT_EQ(AsioPlayer::samples_peak_milli(samples, 3), milli) << sample;
    }
    EXPECT_EQ(AsioPlayer::samples_peak_milli(nullptr, 3), 0u);
    // 48000 Hz / 128 frames: stride 13, so cycles 1, 14, 27, ... are metered. At 2048 frames (23
    // cycles a second) every cycle is. Only 32 channels are metered; the others still play (a plain
    // copy at a target of 0) and are captured.
    for (std::size_t frames : {128u, 2048u}) {
        Rig rig;
        AudioDeviceSettings s = settings(34, 34);
        s.block_frames = frames;
        s.prebuffer_blocks = 1;
        s.target_queue_depth = 0;
        ASSERT_TRUE(rig.start(s));
        for (std::size_t c = 0; c < 34; ++c) {
            rig.device->input[c].assign(frames, c == 0 ? 0.5f : 0.01f * static_cast<float>(c + 1));
        }
        const auto value = [](std::size_t c, std::size_t i) { return float(c) + 1e-4f * float(i); };
        rig.submit(0, 34, value, frames);
        rig.device->cycle();
        for (std::size_t c = 0; c < 34; ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                ASSERT_EQ(rig.device->output[c][i], value(c, i)) << "channel " << c;
            }
        }
        rig.device->input[0].assign(frames, 0.9f);
        rig.cycles(frames == 128 ? 12 : 1);
        const AsioPlayer::Telemetry t = rig.publish();
        EXPECT_EQ(t.input_peak_milli[0], frames == 128 ? 500u : 900u) << frames;
        EXPECT_EQ(t.input_level_count, 32u);
        EXPECT_EQ(t.output_level_count, 32u);
        EXPECT_EQ(t.input_peak_milli[31], 320u);
        EXPECT_FLOAT_EQ(rig.captured.at(0).second.at(33 * frames), 0.34f);
        rig.device->cycle(); // cycle 14
        EXPECT_EQ(rig.publish().input_peak_milli[0], 900u);
        EXPECT_EQ(rig.publish().input_peak_milli[0], 0u) << "drained by the publication";
    }
}

TEST(AsioPlayerCapture, TheRingHoldsOneBlockLessThanItsSlotsAndGrowsWithTheQueue) {
    // At least 8 slots, and max_queue_blocks + 3 (latency 32: 39), so that pauses of server
    // traffic as long as the input FIFO lose no input.
    for (const auto& [max_queue, slots] :
         std::initializer_list<std::pair<std::size_t, int>>{{5, 8}, {36, 39}}) {
        SCOPED_TRACE(slots);
        Rig rig;
        AudioDeviceSettings s = settings(0, 2);
        s.max_queue_blocks = max_queue;
        ASSERT_TRUE(rig.start(s));
        for (int block = 0; block < slots; ++block) {
            rig.device->input[0].assign(128, static_cast<float>(block));
            rig.device->input[1].assign(128, static_cast<float>(-block));
            rig.device->cycle();
        }
        EXPECT_EQ(rig.publish().capture_dropped_count, 1u);
        ASSERT_EQ(rig.captured.size(), static_cast<std::size_t>(slots - 1));
        for (std::size_t block = 0; block < rig.captured.size(); ++block) {
            const std::vector<float>& samples = rig.captured[block].second;
            ASSERT_EQ(samples.size(), 256u);
            EXPECT_EQ(samples[0], static_cast<float>(block));
            EXPECT_EQ(samples[128], -static_cast<float>(block));
        }
    }
}

TEST(AsioPlayerStatistics, PublishedOnceASecondWithExactLinesAndTimings) {
    Rig rig;
    AudioDeviceSettings s = settings(1);
    s.prebuffer_blocks = 1;
    s.target_queue_depth = 0;
    ASSERT_TRUE(rig.start(s));
    rig.clock.advance_ns(999 * ms);
    rig.player.flush_non_realtime_work();
    EXPECT_TRUE(rig.telemetry.empty()) << "nothing before a second";
    const std::uint64_t now = rig.clock.now_ns();
    rig.submit(
        7, 1, [](std::size_t, std::size_t) { return 0.5f; }, 128, 48000, now - 2500000, now - 4750000);
    rig.device->cycle();
    rig.device->ready = false;
    rig.device->cycle(); // underrun, output not ready
    AsioPlayer::Telemetry t = rig.publish();
    // Host time is 5000 s: start x 1e9 would have overflowed 64 bits.
    EXPECT_EQ(t.output_append_to_consume_last_microseconds, 2500u);
    EXPECT_EQ(t.output_server_to_consume_last_microseconds, 4750u);
    EXPECT_EQ(t.output_not_ready_count, 1u);
    EXPECT_EQ(t.underrun_count, 1u);
    EXPECT_FALSE(t.device_lost);
    EXPECT_EQ(rig.log_lines,
              (std::vector<std::string>{
                  "[asio] recvBlocksPerSec=1 callbacksPerSec=2 dequeuedPerSec=1 pll_ratio=1.000000 "
                  "renderedFrames=128",
                  "[asio] playbackBuffer frames=0 blocks=0.00 ms=0.00 target_frames=0 "
                  "error_frames=0.0 minFrames=0 maxFrames=128 underruns=1 overruns=0 "
                  "playbackDropped=0 captureDropped=0"}));
    rig.device->lost = true;
    EXPECT_TRUE(rig.publish().device_lost);
    // The depth figures derive from the depth.
    for (unsigned b = 8; b < 11; ++b) {
        rig.submit_constant(b, 0.25f, 1);
    }
    rig.device->ready = true;
    rig.device->cycle();
    t = rig.publish();
    EXPECT_EQ(t.queue_depth_frames, 256u);
    EXPECT_NEAR(t.queue_depth_blocks, 2.0, 1e-9);
    EXPECT_NEAR(t.queue_depth_ms, 256.0 / 48.0, 1e-9);
    EXPECT_NEAR(t.queue_error_frames, 256.0, 1e-9);
}

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
    Rig rig;
    ASSERT_TRUE(rig.start(settings(4, 2)));
    rig.device->input[0].assign(128, 0.25f);
    rig.device->input[1].assign(128, -0.5f);
    std::uint64_t allocations = 0;
    for (unsigned cycle = 0; cycle < 2000; ++cycle) {
        if (cycle % 97 != 0) { // an occasional missing block keeps the ratio moving
            rig.player.update_remote_timeline({.server_sample_time = cycle * 128ull});
            const auto sine = [cycle](std::size_t, std::size_t i) {
                return float(std::sin(0.05 * (cycle * 128 + i)));
            };
            rig.submit(cycle, 4, sine, 128, 48000, rig.clock.now_ns() - 500, rig.clock.now_ns() - 1000);
        }
        rig.clock.advance_ns(2666667);
        VelmoraTest::CountingAllocations scope;
        in_cycle(true);
        rig.device->cycle();
        in_cycle(false);
        allocations += scope.count();
    }
    rig.player.stop();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(locks.load() - before, 1u);
    EXPECT_GT(rig.captured.size(), 1900u);
}

TEST(AsioPlayerConcurrency, RestartingWhileTheNetworkThreadSubmitsIsSafe) {
    AsioPlayer player([] { return std::make_unique<ThreadedAudioDevice>(std::chrono::microseconds(200)); });
    AudioDeviceSettings s = settings(2, 2);
    s.prebuffer_blocks = 1;
    std::atomic<bool> network_running{true};
    std::atomic<std::uint64_t> delivered{0};
    std::thread network([&] {
        std::vector<float> block(256, 0.5f);
        for (unsigned sequence = 0; network_running.load(); ++sequence) {
            player.update_remote_timeline({.server_sample_time = std::uint64_t{sequence} * 128});
            player.submit_playback_block(sequence, 48000, 128, 2, block, 0, 0, 0);
            (void)player.get_playback_buffered_frames();
        }
    });
    for (int round = 0; round < 30; ++round) {
        ASSERT_TRUE(player.start(
            s, [](const std::string&) {},
            [&delivered](unsigned, unsigned short, unsigned short, const std::vector<float>& samples) {
                delivered += samples.size() == 256 ? 1 : 1000000;
            },
            [](const AsioPlayer::Telemetry&) {}));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (round % 2 == 0) {
            player.stop();
        }
    }
    player.stop();
    network_running = false;
    network.join();
    EXPECT_GT(delivered.load(), 0u);
    EXPECT_LT(delivered.load(), 1000000u);
}

// ---------------------------------------------------------------------------------------------
// The virtual loopback

TEST(LoopbackSchedule, WindowsFollowElapsedMillisecondsAndEndInSixtyFourBits) {
    AudioDeviceSettings s;
    s.loopback_input_silence_every_ms = 1000;
    s.loopback_input_silence_duration_ms = 100;
    s.loopback_callback_stall_every_ms = 3000;
    s.loopback_callback_stall_duration_ms = 40;
    s.loopback_device_lost_after_ms = 0xFFFFFF00u; // in 32 bits its end would wrap to 0x100
    s.loopback_device_lost_duration_ms = 0x200u;
    const LoopbackSchedule schedule(s, t0);
    struct Case {
        std::uint64_t elapsed_ns;
        bool lost;
        bool silent;
        std::uint32_t stall;
    };
    const Case cases[] = {
        {0, false, true, 40},
        {39 * ms, false, true, 40},
        {99 * ms + 999999, false, true, 0},
        {100 * ms, false, false, 0},
        {3020 * ms, false, true, 40},
        {0xFFFFFEFF * ms, false, true, 0},
        {0xFFFFFF00 * ms, true, true, 0},
        {0x100000050 * ms, true, false, 0},
        {0x100000100 * ms, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elapsed_ns);
        EXPECT_EQ(schedule.device_lost(t0 + c.elapsed_ns), c.lost);
        EXPECT_EQ(schedule.input_silent(t0 + c.elapsed_ns), c.silent);
        EXPECT_EQ(schedule.stall_ms(t0 + c.elapsed_ns), c.stall);
    }
    EXPECT_TRUE(schedule.input_silent(t0 - 1)) << "before the start counts as 0 ms";
}

TEST(LoopbackPlayer, PlaysTheQueueBackAsInputOnEveryCycle) {
    Rig rig;
    AudioDeviceSettings s = settings(2, 3); // the third input has no output to echo: zeros
    s.prebuffer_blocks = s.target_queue_depth = 2;
    ASSERT_TRUE(rig.start(s, true));
    rig.run_for(3.0);
    EXPECT_EQ(rig.log_lines.front(), "[asio] virtual loopback started.");
    // One capture per cycle on the nominal grid, echoing channel 0 once primed.
    ASSERT_GE(rig.captured.size(), 1120u);
    for (std::size_t i = 0; i < rig.captured.size(); ++i) {
        ASSERT_EQ(rig.cycle_of(i), i + 1);
        ASSERT_EQ(rig.captured[i].second.size(), 384u);
        EXPECT_EQ(rig.captured[i].second[256], 0.0f);
    }
    EXPECT_EQ(rig.captured.back().second[0], 0.5f);
    ASSERT_GE(rig.telemetry.size(), 2u);
    const AsioPlayer::Telemetry& t = rig.telemetry.back().second;
    EXPECT_EQ(t.underrun_count + t.overrun_count, 0u);
    EXPECT_NEAR(static_cast<double>(t.callbacks_per_sec), 375.0, 1.0);
    EXPECT_EQ(t.output_peak_milli[0], 500u);
    EXPECT_EQ(t.input_peak_milli[0], 500u);
}

TEST(LoopbackPlayer, DriftRunsTheCyclesFasterOrSlowerAndJitterShiftsEachWaitButNotTheGrid) {
    for (const auto& [ppm, jitter_ms] :
         std::initializer_list<std::pair<std::int64_t, std::uint32_t>>{{1000, 0}, {-1000, 0}, {0, 1}}) {
        SCOPED_TRACE(ppm);
        Rig rig;
        rig.feed = false;
        AudioDeviceSettings s = settings(2, 2);
        s.loopback_drift_ppm = ppm;
        s.loopback_callback_jitter_max_ms = jitter_ms;
        ASSERT_TRUE(rig.start(s, true));
        rig.run_for(2.0);
        ASSERT_GE(rig.captured.size(), 700u);
        const double step = nominal_step / (1.0 + static_cast<double>(ppm) / 1e6);
        std::set<long long> offsets_ms;
        for (std::size_t i = 0; i < rig.captured.size(); ++i) {
            const double offset = since_t0(rig.captured[i].first) - static_cast<double>(i + 1) * step;
            ASSERT_GE(offset, -1.0e6 * jitter_ms - 1000.0) << i;
            ASSERT_LE(offset, 1.0e6 * jitter_ms + 60000.0) << i;
            offsets_ms.insert(std::llround(offset / 1e6));
        }
        EXPECT_EQ(offsets_ms.size(), 2 * jitter_ms + 1);
    }
}

TEST(LoopbackPlayer, SkipsDuplicatesSilenceWindowsAndSimulatedLossEachShowAsStated) {
    Rig rig;
    AudioDeviceSettings s = settings(2, 2);
    s.prebuffer_blocks = s.target_queue_depth = 2;
    s.loopback_callback_skip_every = 100;
    s.loopback_callback_skip_count = 3;
    s.loopback_callback_duplicate_every = 50;
    s.loopback_callback_duplicate_count = 2;
    s.loopback_input_silence_every_ms = 1000;
    s.loopback_input_silence_duration_ms = 100;
    s.loopback_device_lost_after_ms = 5000;
    s.loopback_device_lost_duration_ms = 2000;
    ASSERT_TRUE(rig.start(s, true));
    rig.run_for(9.5);
    // Skipped cycles capture nothing; duplicates capture the same played block again.
    std::map<std::uint64_t, std::vector<float>> per_cycle;
    for (std::size_t i = 0; i < rig.captured.size(); ++i) {
        per_cycle[rig.cycle_of(i)].push_back(rig.captured[i].second[128]);
    }
    for (std::uint64_t cycle = 1; cycle <= 3000; ++cycle) {
        const bool skipped = cycle >= 100 && cycle % 100 <= 2;
        const auto& values = per_cycle[cycle];
        ASSERT_EQ(values.size(), skipped ? 0u : cycle % 50 == 0 ? 3u : 1u) << cycle;
        EXPECT_EQ(std::count(values.begin(), values.end(), values.empty() ? 0.0f : values[0]),
                  static_cast<long>(values.size()));
    }
    // Input is silent for the first 100 ms of every second.
    std::size_t counts[2] = {0, 0}; // silent, echoed
    for (const auto& [time, samples] : rig.captured) {
        const std::uint64_t phase_ms = (time - t0) / ms % 1000;
        if (time - t0 < 50 * ms || phase_ms == 99 || phase_ms == 100) {
            continue; // priming, and the window edges
        }
        EXPECT_EQ(samples[0], phase_ms < 100 ? 0.0f : 0.5f) << time - t0;
        ++counts[phase_ms < 100 ? 0 : 1];
    }
    EXPECT_GT(counts[0], 8 * 30u);
    EXPECT_GT(counts[1], 8 * 300u);
    // The loss shows in the telemetry only from 5 s to 7 s.
    std::size_t lost = 0;
    ASSERT_GE(rig.telemetry.size(), 8u);
    for (const auto& [time, t] : rig.telemetry) {
        const std::uint64_t elapsed_ms = (time - t0) / ms;
        if (elapsed_ms + 10 < 5000 || elapsed_ms >= 7010) {
            EXPECT_FALSE(t.device_lost) << elapsed_ms;
        } else if (elapsed_ms >= 5010 && elapsed_ms + 10 < 7000) {
            EXPECT_TRUE(t.device_lost) << elapsed_ms;
            ++lost;
        }
    }
    EXPECT_GE(lost, 1u);
    // Of 375 cycles a second 11.25 are skipped; duplicates count as device cycles but play
    // nothing (7.5 a second: those of cycles 100, 200, ... were skipped with them).
    const AsioPlayer::Telemetry& t = rig.telemetry.back().second;
    EXPECT_NEAR(static_cast<double>(t.dequeued_blocks_per_sec), 363.75, 2.5);
    EXPECT_NEAR(static_cast<double>(t.callbacks_per_sec - t.dequeued_blocks_per_sec), 7.5, 2.5);
}

TEST(LoopbackPlayer, StallsHoldTheCycleAndLateCyclesAreDropped) {
    Rig rig;
    AudioDeviceSettings s = settings(2, 2);
    s.loopback_callback_stall_every_ms = 1000;
    s.loopback_callback_stall_duration_ms = 100;
    ASSERT_TRUE(rig.start(s, true));
    rig.run_for(3.05);
    std::vector<std::uint64_t> gaps; // ms of the first capture after a stall
    for (std::size_t i = 1; i < rig.captured.size(); ++i) {
        if (rig.captured[i].first - rig.captured[i - 1].first > 50 * ms) {
            gaps.push_back((rig.captured[i].first - t0) / ms);
        }
    }
    // One stall a second, at the start of the second (the first has no capture before it).
    ASSERT_GE(gaps.size(), 2u);
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], (i + 1) * 1000 + 100);
        EXPECT_LT(gaps[i], (i + 1) * 1000 + 110);
        // No burst of catch-up cycles: the 20 ms after a stall hold at most 8 cycles.
        const auto after = std::count_if(rig.captured.begin(), rig.captured.end(), [&](const auto& c) {
            return c.first >= t0 + gaps[i] * ms && c.first < t0 + (gaps[i] + 20) * ms;
        });
        EXPECT_LE(after, 8);
    }
}

TEST(LoopbackPlayer, WaitsBySleepingWholeMillisecondsThenToTheLastFifthOfAMillisecondThenSpins) {
    // 2048 frames at 48000 Hz: the first deadline is 42.67 ms after the start.
    const std::uint64_t deadline = t0 + 42666667;
    Rig rig;
    rig.feed = false;
    AudioDeviceSettings s = settings(2, 2);
    s.block_frames = 2048;
    ASSERT_TRUE(rig.start(s, true));
    rig.run_for(0.05);
    ASSERT_FALSE(rig.captured.empty());
    ASSERT_GE(rig.captured[0].first, deadline);
    // One sleep of the whole milliseconds above 2 ms, one down to the last 0.2 ms (no busy wait
    // before it), then the spin: no further sleep before the deadline.
    const auto& woke = rig.woke;
    ASSERT_EQ(std::count_if(woke.begin(), woke.end(), [&](std::uint64_t w) { return w < deadline; }), 2);
    EXPECT_NEAR(static_cast<double>(woke[0] - t0), 40e6, 20000);
    EXPECT_NEAR(static_cast<double>(deadline - woke[1]), 200000, 2000);
}

TEST(LoopbackPlayerRealTime, RunsNoFasterThanNominalAndStopsPromptlyEvenInALongStall) {
    AsioPlayer player([] { return std::unique_ptr<AudioDevice>(); });
    AudioDeviceSettings s = settings(2, 2);
    std::atomic<std::uint64_t> captured{0};
    const auto count = [&](unsigned, unsigned short, unsigned short, const std::vector<float>&) {
        ++captured;
    };
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(player.start_loopback(s, nullptr, count, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    player.stop();
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - started;
    // One cycle per 2.67 ms at most (late cycles are dropped, never replayed); a loaded machine
    // drops many, so only a broad lower bound is expected.
    EXPECT_GT(captured.load(), 10u);
    EXPECT_LE(static_cast<double>(captured.load()), elapsed.count() / 2.6667 + 3.0);
    s.loopback_callback_stall_every_ms = 60000;
    s.loopback_callback_stall_duration_ms = 30000;
    ASSERT_TRUE(player.start_loopback(s, nullptr, count, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto before = std::chrono::steady_clock::now();
    player.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

} // namespace
