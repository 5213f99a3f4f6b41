#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>
#include <velmora/engine/loopback_schedule.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t ms = 1000000;
constexpr std::uint64_t start_ns = 1000 * ms;
constexpr double nominal_step = 128.0 * 1e9 / 48000.0;

AudioDeviceSettings loopback_settings() {
    AudioDeviceSettings s;
    s.output_channel_map = s.input_channel_map = {0, 1};
    s.prebuffer_blocks = s.target_queue_depth = 2;
    s.max_queue_blocks = 6;
    return s;
}

TEST(LoopbackSchedule, TimeWindowsFollowElapsedMillisecondsAndEndInSixtyFourBits) {
    AudioDeviceSettings s = loopback_settings();
    s.loopback_device_lost_after_ms = 5000;
    s.loopback_device_lost_duration_ms = 2000;
    s.loopback_input_silence_every_ms = 1000;
    s.loopback_input_silence_duration_ms = 100;
    s.loopback_callback_stall_every_ms = 3000;
    s.loopback_callback_stall_duration_ms = 40;
    LoopbackSchedule schedule(s, start_ns);
    struct Case {
        std::uint64_t elapsed_ns;
        bool lost;
        bool silent;
        std::uint32_t stall;
    };
    const Case cases[] = {
        {0, false, true, 40},
        {99 * ms, false, true, 0},
        {99 * ms + 999999, false, true, 0},
        {39 * ms, false, true, 40},
        {100 * ms, false, false, 0},
        {1050 * ms, false, true, 0},
        {3020 * ms, false, true, 40},
        {4999 * ms, false, false, 0},
        {5000 * ms, true, true, 0},
        {6999 * ms + 999999, true, false, 0},
        {7000 * ms, false, true, 0},
        {9999 * ms, false, false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(schedule.device_lost(start_ns + c.elapsed_ns), c.lost) << c.elapsed_ns;
        EXPECT_EQ(schedule.input_silent(start_ns + c.elapsed_ns), c.silent) << c.elapsed_ns;
        EXPECT_EQ(schedule.stall_ms(start_ns + c.elapsed_ns), c.stall) << c.elapsed_ns;
    }
    EXPECT_FALSE(schedule.device_lost(start_ns - 1)); // before the start counts as 0 ms

    // A window ending past 2^32 ms: in 32 bits its end would wrap to 0x100.
    s.loopback_device_lost_after_ms = 0xFFFFFF00u;
    s.loopback_device_lost_duration_ms = 0x200u;
    LoopbackSchedule late(s, 0);
    for (const auto& [at, lost] : std::initializer_list<std::pair<std::uint64_t, bool>>{
             {0xFFFFFEFF, false}, {0xFFFFFF00, true}, {0x100000050, true}, {0x100000100, false}}) {
        EXPECT_EQ(late.device_lost(at * ms), lost) << at;
    }
    s.loopback_device_lost_duration_ms = 0; // never lost
    EXPECT_FALSE(LoopbackSchedule(s, 0).device_lost(0xFFFFFF10ull * ms));
}

// A loopback player on a simulated clock, fed from the clock itself: every time the loopback
// thread moves the clock, the server blocks due by then are submitted (channel 0 carries 0.5,
// channel 1 the block's sequence), as a network thread at the nominal server rate would.
struct LoopbackRig {
    VirtualPlayerClock clock{start_ns};
    AsioPlayer player{[] { return std::unique_ptr<AudioDevice>(); }, clock};
    struct Capture {
        std::uint64_t time_ns;
        float channel0;
        float channel1;
    };
    std::vector<Capture> captures;
    std::vector<std::pair<std::uint64_t, AsioPlayer::Telemetry>> telemetry;
    std::vector<std::string> log_lines;
    std::uint64_t next_block = 0;
    bool feed = true;

    LoopbackRig() {
        clock.read_step_ns = 1000;
        clock.on_advance = [this](std::uint64_t now) {
            const double block_period = 128.0 * 1e9 / 48000.0;
            while (feed && static_cast<double>(start_ns) + static_cast<double>(next_block) * block_period <=
                               static_cast<double>(now)) {
                std::vector<float> block(256, 0.5f);
                std::fill(block.begin() + 128, block.end(), static_cast<float>(next_block));
                player.submit_playback_block(static_cast<unsigned>(next_block), 48000, 128, 2, block, 0, 0,
                                             0);
                ++next_block;
            }
        };
    }

    bool start(const AudioDeviceSettings& s) {
        return player.start_loopback(
            s, [this](const std::string& line) { log_lines.push_back(line); },
            [this](unsigned rate, unsigned short frames, unsigned short channels,
                   const std::vector<float>& samples) {
                EXPECT_EQ(rate, 48000u);
                EXPECT_EQ(frames, 128u);
                EXPECT_EQ(channels, 2u);
                captures.push_back({clock.now_ns(), samples[0], samples[128]});
            },
            [this](const AsioPlayer::Telemetry& t) { telemetry.emplace_back(clock.now_ns(), t); });
    }

    // Runs the loopback until `seconds` of simulated time have passed.
    void run_for(double seconds) {
        const auto until = start_ns + static_cast<std::uint64_t>(seconds * 1e9);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (clock.now_ns() < until && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        player.stop();
        ASSERT_GE(clock.now_ns(), until) << "the loopback thread stopped moving";
    }

    // Cycle index of a capture from its time on the cycle grid.
    static std::uint64_t cycle_of(std::uint64_t time_ns, double step) {
        return static_cast<std::uint64_t>(std::llround(static_cast<double>(time_ns - start_ns) / step));
    }
};

TEST(LoopbackPlayer, StartChecksItsFormatAndChannelMaps) {
    struct Case {
        std::uint32_t rate;
        std::size_t frames;
        std::vector<long> outputs;
        std::vector<long> inputs;
        const char* message;
    };
    const Case cases[] = {
        {0, 128, {0}, {0}, "[asio] loopback requires a non-zero sample rate and block size."},
        {48000, 0, {0}, {0}, "[asio] loopback requires a non-zero sample rate and block size."},
        {48000, 128, {}, {0}, "[asio] loopback requires both output and input channel maps."},
        {48000, 128, {0}, {}, "[asio] loopback requires both output and input channel maps."},
    };
    for (const Case& c : cases) {
        LoopbackRig rig;
        AudioDeviceSettings s = loopback_settings();
        s.sample_rate = c.rate;
        s.block_frames = c.frames;
        s.output_channel_map = c.outputs;
        s.input_channel_map = c.inputs;
        EXPECT_FALSE(rig.start(s));
        ASSERT_EQ(rig.log_lines.size(), 1u);
        EXPECT_EQ(rig.log_lines[0], c.message);
    }
}

TEST(LoopbackPlayer, PlaysTheQueueBackAsInputOnEveryCycle) {
    LoopbackRig rig;
    AudioDeviceSettings s = loopback_settings();
    s.output_channel_map = {0, 1};
    s.input_channel_map = {0, 1, 2}; // the third input has no output to echo: zeros
    std::vector<float> third;
    ASSERT_TRUE(rig.player.start_loopback(
        s, [&](const std::string& line) { rig.log_lines.push_back(line); },
        [&](unsigned, unsigned short, unsigned short channels, const std::vector<float>& samples) {
            ASSERT_EQ(channels, 3u);
            rig.captures.push_back({rig.clock.now_ns(), samples[0], samples[128]});
            third.push_back(samples[256]);
        },
        [&](const AsioPlayer::Telemetry& t) { rig.telemetry.emplace_back(rig.clock.now_ns(), t); }));
    rig.run_for(3.0);
    EXPECT_EQ(std::count(rig.log_lines.begin(), rig.log_lines.end(), "[asio] virtual loopback started."), 1);
    // One capture per cycle on the nominal grid, echoing channel 0 once primed.
    ASSERT_GE(rig.captures.size(), 1120u);
    for (std::size_t i = 0; i < rig.captures.size(); ++i) {
        EXPECT_EQ(LoopbackRig::cycle_of(rig.captures[i].time_ns, nominal_step), i + 1);
    }
    EXPECT_EQ(rig.captures.back().channel0, 0.5f);
    for (float v : third) {
        EXPECT_EQ(v, 0.0f);
    }
    ASSERT_GE(rig.telemetry.size(), 2u);
    const AsioPlayer::Telemetry& t = rig.telemetry.back().second;
    EXPECT_EQ(t.underrun_count, 0u);
    EXPECT_EQ(t.overrun_count, 0u);
    EXPECT_GE(t.callbacks_per_sec, 374u);
    EXPECT_LE(t.callbacks_per_sec, 376u);
    EXPECT_EQ(t.output_peak_milli[0], 500u);
    EXPECT_EQ(t.input_peak_milli[0], 500u);
    EXPECT_FALSE(t.device_lost);
}

TEST(LoopbackPlayer, DriftRunsTheCyclesFasterOrSlowerThanNominal) {
    for (std::int64_t ppm : {1000, -1000}) {
        LoopbackRig rig;
        rig.feed = false;
        AudioDeviceSettings s = loopback_settings();
        s.loopback_drift_ppm = ppm;
        ASSERT_TRUE(rig.start(s));
        rig.run_for(2.0);
        ASSERT_GE(rig.captures.size(), 700u);
        const double step = nominal_step / (1.0 + static_cast<double>(ppm) / 1e6);
        const double spacing =
            static_cast<double>(rig.captures.back().time_ns - rig.captures.front().time_ns) /
            static_cast<double>(rig.captures.size() - 1);
        EXPECT_NEAR(spacing / step, 1.0, 1e-5) << ppm;
    }
}

TEST(LoopbackPlayer, SkipEventsProcessNoCycleAndDuplicatesCaptureAgainWithoutPlaying) {
    LoopbackRig rig;
    AudioDeviceSettings s = loopback_settings();
    s.loopback_callback_skip_every = 100;
    s.loopback_callback_skip_count = 3;
    s.loopback_callback_duplicate_every = 50;
    s.loopback_callback_duplicate_count = 2;
    ASSERT_TRUE(rig.start(s));
    rig.run_for(2.5);
    std::map<std::uint64_t, std::vector<float>> per_cycle;
    for (const auto& capture : rig.captures) {
        per_cycle[LoopbackRig::cycle_of(capture.time_ns, nominal_step)].push_back(capture.channel1);
    }
    ASSERT_GE(per_cycle.rbegin()->first, 900u);
    for (std::uint64_t cycle = 1; cycle <= 900; ++cycle) {
        const bool skipped = cycle >= 100 && cycle % 100 <= 2;
        const auto& values = per_cycle[cycle];
        ASSERT_EQ(values.size(), skipped ? 0u : cycle % 50 == 0 ? 3u : 1u) << cycle;
        // The duplicates repeat the same played block.
        for (float v : values) {
            EXPECT_EQ(v, values.front()) << cycle;
        }
    }
    // Of 375 cycles a second 11.25 are skipped; duplicates count as device cycles but play
    // nothing (7.5 a second: those of cycles 100, 200, ... were skipped with them).
    ASSERT_GE(rig.telemetry.size(), 2u);
    const AsioPlayer::Telemetry& t = rig.telemetry.back().second;
    EXPECT_NEAR(static_cast<double>(t.dequeued_blocks_per_sec), 363.75, 2.5);
    EXPECT_NEAR(static_cast<double>(t.callbacks_per_sec - t.dequeued_blocks_per_sec), 7.5, 2.5);
}

TEST(LoopbackPlayer, InputSilenceWindowsDeliverZerosAndSimulatedLossShowsOnlyInsideItsWindow) {
    LoopbackRig rig;
    AudioDeviceSettings s = loopback_settings();
    s.loopback_input_silence_every_ms = 1000;
    s.loopback_input_silence_duration_ms = 100;
    s.loopback_device_lost_after_ms = 5000;
    s.loopback_device_lost_duration_ms = 2000;
    ASSERT_TRUE(rig.start(s));
    rig.run_for(9.5);
    std::size_t silent = 0;
    std::size_t echoed = 0;
    for (const auto& capture : rig.captures) {
        const std::uint64_t phase_ms = (capture.time_ns - start_ns) / ms % 1000;
        if (capture.time_ns - start_ns < 50 * ms || phase_ms == 99 || phase_ms == 100) {
            continue; // priming, and the window edges
        }
        EXPECT_EQ(capture.channel0, phase_ms < 100 ? 0.0f : 0.5f) << capture.time_ns - start_ns;
        ++(phase_ms < 100 ? silent : echoed);
    }
    EXPECT_GT(silent, 8 * 30u);
    EXPECT_GT(echoed, 8 * 300u);
    std::size_t lost = 0;
    ASSERT_GE(rig.telemetry.size(), 8u);
    for (const auto& [time, t] : rig.telemetry) {
        const std::uint64_t elapsed_ms = (time - start_ns) / ms;
        if (elapsed_ms + 10 < 5000 || elapsed_ms >= 7010) {
            EXPECT_FALSE(t.device_lost) << elapsed_ms;
        } else if (elapsed_ms >= 5010 && elapsed_ms + 10 < 7000) {
            EXPECT_TRUE(t.device_lost) << elapsed_ms;
            ++lost;
        }
    }
    EXPECT_GE(lost, 1u);
}

TEST(LoopbackPlayer, StallsHoldTheCycleAndLateCyclesAreDropped) {
    LoopbackRig rig;
    AudioDeviceSettings s = loopback_settings();
    s.loopback_callback_stall_every_ms = 1000;
    s.loopback_callback_stall_duration_ms = 100;
    ASSERT_TRUE(rig.start(s));
    rig.run_for(3.05);
    std::vector<std::uint64_t> gaps;
    for (std::size_t i = 1; i < rig.captures.size(); ++i) {
        const std::uint64_t gap = rig.captures[i].time_ns - rig.captures[i - 1].time_ns;
        if (gap > 50 * ms) {
            gaps.push_back((rig.captures[i].time_ns - start_ns) / ms);
        }
    }
    // One stall a second, at the start of the second (the first has no capture before it).
    ASSERT_GE(gaps.size(), 2u);
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], (i + 1) * 1000 + 100);
        EXPECT_LT(gaps[i], (i + 1) * 1000 + 110);
        // No burst of catch-up cycles: the 20 ms after a stall hold at most 8 cycles.
        std::size_t after = 0;
        for (const auto& capture : rig.captures) {
            const std::uint64_t at = (capture.time_ns - start_ns) / ms;
            after += at >= gaps[i] && at < gaps[i] + 20 ? 1 : 0;
        }
        EXPECT_LE(after, 8u);
    }
}

TEST(LoopbackPlayer, JitterShiftsEachWaitButNotTheGrid) {
    LoopbackRig rig;
    rig.feed = false;
    AudioDeviceSettings s = loopback_settings();
    s.loopback_callback_jitter_max_ms = 1;
    ASSERT_TRUE(rig.start(s));
    rig.run_for(2.0);
    ASSERT_GE(rig.captures.size(), 700u);
    std::set<long long> offsets_ms;
    for (std::size_t i = 0; i < rig.captures.size(); ++i) {
        const double nominal = static_cast<double>(start_ns) + static_cast<double>(i + 1) * nominal_step;
        const double offset = static_cast<double>(rig.captures[i].time_ns) - nominal;
        EXPECT_GE(offset, -1.0e6 - 1000.0) << i;
        EXPECT_LE(offset, 1.0e6 + 60000.0) << i;
        offsets_ms.insert(std::llround(offset / 1e6));
    }
    EXPECT_EQ(offsets_ms, (std::set<long long>{-1, 0, 1}));
}

// Records how the loopback thread waits: each sleep with the time left until the first deadline.
class RecordingClock final : public PlayerClock {
public:
    struct Wait {
        std::uint32_t us;
        std::int64_t remaining_ns;
    };
    VirtualPlayerClock inner{start_ns};
    std::int64_t deadline_ns = 0;
    mutable std::vector<Wait> waits;
    mutable std::atomic<std::uint64_t> spins_near_deadline{0};

    std::uint64_t host_time_ns() const override {
        const std::uint64_t now = inner.host_time_ns();
        if (static_cast<std::int64_t>(now) <= deadline_ns &&
            deadline_ns - static_cast<std::int64_t>(now) <= 200000) {
            ++spins_near_deadline;
        }
        return now;
    }
    std::uint64_t monotonic_ms() const override { return inner.monotonic_ms(); }
    void sleep_ms(std::uint32_t ms) const override {
        record(ms * 1000);
        inner.sleep_ms(ms);
    }
    void sleep_us(std::uint32_t us) const override {
        record(us);
        inner.sleep_us(us);
    }

private:
    void record(std::uint32_t us) const {
        const auto remaining = deadline_ns - static_cast<std::int64_t>(inner.now_ns());
        if (remaining > 0) {
            waits.push_back({us, remaining});
        }
    }
};

TEST(LoopbackPlayer, WaitsBySleepingInMillisecondsThenMicrosecondsThenSpinsTheLastFifthOfAMillisecond) {
    RecordingClock clock;
    clock.inner.read_step_ns = 1000;
    // 2048 frames at 48000 Hz: the first deadline is 42.67 ms after the start.
    clock.deadline_ns = static_cast<std::int64_t>(start_ns + 42666667);
    AsioPlayer player([] { return std::unique_ptr<AudioDevice>(); }, clock);
    AudioDeviceSettings s = loopback_settings();
    s.block_frames = 2048;
    std::atomic<int> cycles{0};
    ASSERT_TRUE(player.start_loopback(
        s, nullptr, [&](unsigned, unsigned short, unsigned short, const std::vector<float>&) { ++cycles; },
        nullptr));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (cycles.load() < 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    player.stop();
    ASSERT_GE(cycles.load(), 2);
    ASSERT_FALSE(clock.waits.empty());
    // One sleep of the whole milliseconds above 2 ms, one sleep down to the last 0.2 ms (no busy
    // wait before it), then the spin.
    ASSERT_GE(clock.waits.size(), 2u);
    EXPECT_EQ(clock.waits[0].us, 40000u);
    EXPECT_NEAR(clock.waits[1].remaining_ns - static_cast<std::int64_t>(clock.waits[1].us) * 1000, 200000,
                2000);
    EXPECT_LE(clock.waits.size(), 3u) << "a sleep at most per read of the clock, no yield loop";
    EXPECT_GT(clock.spins_near_deadline.load(), 10u);
}

// ---------------------------------------------------------------------------------------------
// The loopback thread on the machine's clock

TEST(LoopbackPlayerRealTime, RunsNearTheNominalRateAndStopsPromptlyEvenInALongStall) {
    AsioPlayer player([] { return std::unique_ptr<AudioDevice>(); });
    AudioDeviceSettings s = loopback_settings();
    std::atomic<std::uint64_t> captured{0};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(player.start_loopback(
        s, nullptr, [&](unsigned, unsigned short, unsigned short, const std::vector<float>&) { ++captured; },
        nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    player.stop();
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    // One cycle per 2.67 ms at most (late cycles are dropped, never replayed); a loaded machine
    // drops many, so only a broad lower bound is expected.
    EXPECT_GT(captured.load(), 10u);
    EXPECT_LE(static_cast<double>(captured.load()), elapsed_ms / 2.6667 + 3.0);

    s.loopback_callback_stall_every_ms = 60000;
    s.loopback_callback_stall_duration_ms = 30000;
    ASSERT_TRUE(player.start_loopback(
        s, nullptr, [](unsigned, unsigned short, unsigned short, const std::vector<float>&) {}, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto before = std::chrono::steady_clock::now();
    player.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

} // namespace
