#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A player on a scripted device and a simulated clock, with everything it reports recorded.
struct PlayerRig {
    VirtualPlayerClock clock{5000000000000ull}; // 5000 s of host time: far past any 64-bit overflow of x 1e9
    ScriptedAudioDevice* device = nullptr;
    std::function<void(ScriptedAudioDevice&)> configure_device;
    int devices_created = 0;
    std::vector<std::string> log_lines;
    std::vector<std::vector<float>> captured;
    std::vector<AsioPlayer::Telemetry> telemetry;
    AsioPlayer player{[this] {
                          auto created = std::make_unique<ScriptedAudioDevice>();
                          if (configure_device) {
                              configure_device(*created);
                          }
                          device = created.get();
                          ++devices_created;
                          return created;
                      },
                      clock};

    static AudioDeviceSettings settings(std::size_t outputs = 2, std::size_t inputs = 0) {
        AudioDeviceSettings s;
        s.device_uid = "scripted";
        for (std::size_t i = 0; i < outputs; ++i) {
            s.output_channel_map.push_back(static_cast<long>(i));
        }
        for (std::size_t i = 0; i < inputs; ++i) {
            s.input_channel_map.push_back(static_cast<long>(i));
        }
        return s;
    }
    bool start(const AudioDeviceSettings& s) {
        return player.start(
            s, [this](const std::string& line) { log_lines.push_back(line); },
            [this](unsigned, unsigned short, unsigned short, const std::vector<float>& samples) {
                captured.push_back(samples);
            },
            [this](const AsioPlayer::Telemetry& t) { telemetry.push_back(t); });
    }
    // One server block whose channel c holds `value(c, frame)`.
    void submit(unsigned sequence, std::size_t channels,
                const std::function<float(std::size_t, std::size_t)>& value, std::size_t frames = 128,
                unsigned rate = 48000, unsigned long long append_ns = 0, unsigned long long server_ns = 0) {
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
    // Publishes telemetry now (a simulated second later) and returns it.
    AsioPlayer::Telemetry publish() {
        clock.advance_ns(1000000000ull);
        player.flush_non_realtime_work();
        EXPECT_FALSE(telemetry.empty());
        return telemetry.empty() ? AsioPlayer::Telemetry{} : telemetry.back();
    }
};

TEST(AsioPlayerStart, RefusalsLeaveThePlayerStoppedWithTheirExactMessages) {
    struct Case {
        std::vector<long> outputs;
        std::vector<long> inputs;
        const char* message;
    };
    // Invalid maps are refused before any device is opened.
    const Case cases[] = {
        {{0, -1}, {}, "[asio] output_channel_map contains a negative channel."},
        {{0, 2, 0}, {}, "[asio] output_channel_map contains duplicate hardware channels."},
        {{0, -1, 0}, {}, "[asio] output_channel_map contains a negative channel."},
        {{0}, {-3}, "[asio] input_channel_map contains a negative channel."},
        {{0}, {1, 1}, "[asio] input_channel_map contains duplicate hardware channels."},
        {{}, {}, "[asio] both output_channel_map and input_channel_map are empty."},
    };
    for (const Case& c : cases) {
        PlayerRig rig;
        AudioDeviceSettings s;
        s.output_channel_map = c.outputs;
        s.input_channel_map = c.inputs;
        EXPECT_FALSE(rig.start(s));
        EXPECT_EQ(rig.log_lines, std::vector<std::string>{c.message});
        EXPECT_EQ(rig.devices_created, 0);
    }
    const std::pair<std::function<void(ScriptedAudioDevice&)>, const char*> devices[] = {
        {[](ScriptedAudioDevice& d) { d.open_succeeds = false; }, "[test] scripted device refused to open"},
        {[](ScriptedAudioDevice& d) { d.start_succeeds = false; }, "[audio] device start failed."},
    };
    for (const auto& [configure, message] : devices) {
        PlayerRig rig;
        rig.configure_device = configure;
        EXPECT_FALSE(rig.start(PlayerRig::settings()));
        EXPECT_EQ(rig.log_lines, std::vector<std::string>{message});
        // Stopped: callbacks dropped, nothing more is reported.
        rig.clock.advance_ns(5000000000ull);
        rig.player.flush_non_realtime_work();
        EXPECT_TRUE(rig.telemetry.empty());
        EXPECT_EQ(rig.log_lines.size(), 1u);
    }
}

TEST(AsioPlayerPlayback, PrebuffersExactlyPrebufferBlocksThenReadsAtTheSteeredRatio) {
    PlayerRig rig;
    AudioDeviceSettings s = PlayerRig::settings(1);
    s.prebuffer_blocks = 5;
    s.target_queue_depth = 6;
    ASSERT_TRUE(rig.start(s));
    // A ramp (value = frame index across blocks) makes linear interpolation exact, so the output
    // shows the read position.
    const auto ramp = [](unsigned block) {
        return [block](std::size_t, std::size_t i) { return static_cast<float>(block * 128 + i); };
    };
    for (unsigned b = 0; b < 4; ++b) {
        rig.submit(b, 1, ramp(b));
        rig.device->cycle();
        EXPECT_TRUE(rig.device->output_was_silence_request[0]) << "block " << b;
    }
    EXPECT_EQ(rig.player.get_playback_buffered_frames(), 512u);
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

TEST(AsioPlayerPlayback, AtTargetZeroEveryChannelIsAPlainCopyAndOnlyThirtyTwoAreMetered) {
    PlayerRig rig;
    AudioDeviceSettings s = PlayerRig::settings(34, 34);
    s.prebuffer_blocks = 1;
    s.target_queue_depth = 0;
    ASSERT_TRUE(rig.start(s));
    EXPECT_EQ(rig.player.compute_playback_ratio(1000), 1.0);
    for (std::size_t c = 0; c < 34; ++c) {
        rig.device->input[c].assign(128, 0.01f * static_cast<float>(c + 1));
    }
    const auto value = [](unsigned b) {
        return [b](std::size_t c, std::size_t i) {
            return static_cast<float>(c + 1) / 100.0f + 1e-5f * (b * 128 + i);
        };
    };
    for (unsigned b = 0; b < 3; ++b) {
        rig.submit(b, 34, value(b));
        rig.device->cycle();
        for (std::size_t c = 0; c < 34; ++c) {
            for (std::size_t i = 0; i < 128; ++i) {
                ASSERT_EQ(rig.device->output[c][i], value(b)(c, i)) << "block " << b << " channel " << c;
            }
        }
    }
    const AsioPlayer::Telemetry t = rig.publish();
    EXPECT_EQ(t.input_level_count, 32u);
    EXPECT_EQ(t.output_level_count, 32u);
    EXPECT_EQ(t.input_peak_milli[31], 320u);
    ASSERT_EQ(rig.captured.size(), 3u);
    EXPECT_FLOAT_EQ(rig.captured[0][33 * 128], 0.34f);
}

TEST(AsioPlayerPlayback, StarvationFallsBackToPrebufferingAfterMaxOfPrebufferAndThreeCycles) {
    for (std::size_t prebuffer : {1u, 2u, 5u}) {
        SCOPED_TRACE(prebuffer);
        PlayerRig rig;
        AudioDeviceSettings s = PlayerRig::settings(1);
        s.prebuffer_blocks = s.target_queue_depth = prebuffer;
        s.max_queue_blocks = prebuffer + 4;
        ASSERT_TRUE(rig.start(s));
        unsigned sequence = 0;
        for (std::size_t b = 0; b < prebuffer; ++b) {
            rig.submit_constant(sequence++, 0.5f, 1);
        }
        // Drain the queue completely.
        for (std::size_t played = 0; rig.player.get_playback_buffered_frames() >= 128 || played == 0;
             ++played) {
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
    PlayerRig rig;
    AudioDeviceSettings s = PlayerRig::settings(2);
    s.max_queue_blocks = 4;
    ASSERT_TRUE(rig.start(s));
    const auto half = [](std::size_t, std::size_t) { return 0.5f; };
    rig.submit(0, 2, half, 64);                                      // 64 frames on a 128-frame device
    rig.submit(1, 2, half, 128, 44100);                              // other rate
    rig.submit(2, 3, half);                                          // other channel count
    rig.player.submit_playback_block(3, 48000, 128, 2, {}, 0, 0, 0); // empty: ignored
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
    EXPECT_EQ(t.recv_blocks_per_sec, 4u);
    EXPECT_EQ(t.queue_max_frames, 512u);
}

TEST(AsioPlayerMeters, PeaksInTheMilliScaleSampledEveryStrideCycles) {
    for (const auto& [sample, milli] : std::initializer_list<std::pair<float, unsigned>>{{1.5f, 1000},
                                                                                         {-1.0f, 1000},
                                                                                         {0.0f, 0},
                                                                                         {0.0004f, 0},
                                                                                         {0.0005f, 1},
                                                                                         {-0.25f, 250},
                                                                                         {0.9994f, 999}}) {
        const float samples[3] = {0.0f, sample, 0.0f};
        EXPECT_EQ(AsioPlayer::samples_peak_milli(samples, 3), milli) << sample;
    }
    EXPECT_EQ(AsioPlayer::samples_peak_milli(nullptr, 3), 0u);
    EXPECT_EQ(AsioPlayer::samples_peak_milli(std::vector<float>{0.5f}.data(), 0), 0u);

    // 48000 Hz / 128 frames: stride 13, so cycles 1, 14, 27, ... are metered.
    PlayerRig rig;
    ASSERT_TRUE(rig.start(PlayerRig::settings(1, 1)));
    rig.device->input[0].assign(128, 0.5f);
    rig.device->cycle();
    rig.device->input[0].assign(128, 0.9f);
    for (int i = 0; i < 12; ++i) {
        rig.device->cycle();
    }
    AsioPlayer::Telemetry t = rig.publish();
    EXPECT_EQ(t.input_level_count, 1u);
    EXPECT_EQ(t.input_peak_milli[0], 500u);
    rig.device->cycle(); // cycle 14
    EXPECT_EQ(rig.publish().input_peak_milli[0], 900u);
    EXPECT_EQ(rig.publish().input_peak_milli[0], 0u) << "drained by the publication";

    // 48000 Hz / 2048 frames: 23 cycles a second, every cycle is metered.
    PlayerRig large;
    AudioDeviceSettings big = PlayerRig::settings(1, 1);
    big.block_frames = 2048;
    ASSERT_TRUE(large.start(big));
    large.device->input[0].assign(2048, 0.5f);
    large.device->cycle();
    large.device->input[0].assign(2048, 0.9f);
    large.device->cycle();
    EXPECT_EQ(large.publish().input_peak_milli[0], 900u);
}

TEST(AsioPlayerCapture, TheRingHoldsOneBlockLessThanItsSlotsAndGrowsWithTheQueue) {
    // At least 8 slots, and max_queue_blocks + 3 (latency 32: 39), so that pauses of server
    // traffic as long as the input FIFO lose no input.
    for (const auto& [max_queue, slots] :
         std::initializer_list<std::pair<std::size_t, int>>{{5, 8}, {36, 39}}) {
        SCOPED_TRACE(slots);
        PlayerRig rig;
        AudioDeviceSettings s = PlayerRig::settings(0, 2);
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
            ASSERT_EQ(rig.captured[block].size(), 256u);
            EXPECT_EQ(rig.captured[block][0], static_cast<float>(block));
            EXPECT_EQ(rig.captured[block][128], -static_cast<float>(block));
        }
    }
}

TEST(AsioPlayerClock, ImplausibleSyncRatioIsIgnoredButBecomesTheReference) {
    PlayerRig rig;
    AudioDeviceSettings s = PlayerRig::settings(1);
    s.block_frames = 100;
    ASSERT_TRUE(rig.start(s));
    const auto sync_then_cycles = [&](std::uint64_t position, int cycles) {
        VelmoraProtocol::SyncInfo sync;
        sync.server_sample_time = position;
        rig.player.update_remote_timeline(sync);
        for (int i = 0; i < cycles; ++i) {
            rig.device->cycle();
        }
    };
    sync_then_cycles(5000, 10); // first point (5000, 0)
    sync_then_cycles(6060, 1);  // (6060, 1000): ratio 1.06 is ignored
    EXPECT_EQ(rig.player.input_clock_ratio(), 1.0);
    for (int i = 0; i < 9; ++i) {
        rig.device->cycle();
    }
    sync_then_cycles(7070, 1); // (7070, 2000): 1.01 against the new reference
    EXPECT_NEAR(1.0 / rig.player.input_clock_ratio(), 0.98 + 0.02 * 1.01, 1e-12);
    rig.device->cycle(); // no new sync: nothing changes
    EXPECT_NEAR(1.0 / rig.player.input_clock_ratio(), 1.0002, 1e-12);
    EXPECT_NEAR(rig.publish().pll_ratio, 1.0002, 1e-12);
}

TEST(AsioPlayerStatistics, PublishedOnceASecondWithExactLinesAndTimings) {
    PlayerRig rig;
    AudioDeviceSettings s = PlayerRig::settings(1);
    s.prebuffer_blocks = 1;
    s.target_queue_depth = 0;
    ASSERT_TRUE(rig.start(s));
    rig.log_lines.clear();
    rig.clock.advance_ns(999000000ull);
    rig.player.flush_non_realtime_work();
    EXPECT_TRUE(rig.telemetry.empty()) << "nothing before a second";
    const std::uint64_t now = rig.clock.now_ns();
    // Host time is 5000 s: start x 1e9 would have overflowed 64 bits.
    rig.submit(
        7, 1, [](std::size_t, std::size_t) { return 0.5f; }, 128, 48000, now - 2500000, now - 4750000);
    rig.device->cycle();
    rig.device->ready = false;
    rig.device->cycle(); // underrun, output not ready
    AsioPlayer::Telemetry t = rig.publish();
    EXPECT_EQ(t.output_append_to_consume_last_microseconds, 2500u);
    EXPECT_EQ(t.output_append_to_consume_max_microseconds, 2500u);
    EXPECT_EQ(t.output_server_to_consume_last_microseconds, 4750u);
    EXPECT_EQ(t.output_not_ready_count, 1u);
    EXPECT_EQ(t.underrun_count, 1u);
    EXPECT_EQ(t.callback_count, 2u);
    EXPECT_EQ(t.callbacks_per_sec, 2u);
    EXPECT_EQ(t.dequeued_blocks_per_sec, 1u);
    EXPECT_EQ(t.rendered_frames, 128u);
    EXPECT_EQ(t.requested_sample_rate, 48000u);
    EXPECT_EQ(t.actual_block_frames, 128u);
    EXPECT_EQ(t.queue_min_frames, 0u);
    EXPECT_EQ(t.queue_max_frames, 128u);
    EXPECT_FALSE(t.device_lost);
    EXPECT_EQ(
        rig.log_lines,
        (std::vector<std::string>{
            "[asio] recvBlocksPerSec=1 callbacksPerSec=2 dequeuedPerSec=1 pll_ratio=1.000000 "
            "renderedFrames=128",
            "[asio] playbackBuffer frames=0 blocks=0.00 ms=0.00 target_frames=0 error_frames=0.0 minFrames=0 "
            "maxFrames=128 underruns=1 overruns=0 playbackDropped=0 captureDropped=0"}));
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

TEST(AsioPlayerConcurrency, RestartingWhileTheNetworkThreadSubmitsIsSafe) {
    AsioPlayer player([] { return std::make_unique<ThreadedAudioDevice>(std::chrono::microseconds(200)); });
    AudioDeviceSettings s = PlayerRig::settings(2, 2);
    s.prebuffer_blocks = 1;
    std::atomic<bool> network_running{true};
    std::atomic<std::uint64_t> delivered{0};
    std::thread network([&] {
        std::vector<float> block(256, 0.5f);
        for (unsigned sequence = 0; network_running.load(); ++sequence) {
            VelmoraProtocol::SyncInfo sync;
            sync.server_sample_time = std::uint64_t{sequence} * 128;
            player.update_remote_timeline(sync);
            player.submit_playback_block(sequence, 48000, 128, 2, block, 0, 0, 0);
            (void)player.input_clock_ratio();
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

} // namespace
