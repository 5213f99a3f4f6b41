#include <velmora/audio_server/device_player.h>
#include <velmora/audio_server/input_monitor.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace VelmoraAudioServer;

TEST(DevicePlayer, ToneGivesEveryChannelItsOwnFrequency) {
    DevicePlayer player;
    player.prepare(PlayKind::tone, 48000, 32, 32);
    std::vector<float> output(32 * 48000);
    for (std::uint32_t start = 0; start < 48000; start += 128) {
        player.render(nullptr, output.data() + static_cast<std::size_t>(start) * 32,
                      std::min(128u, 48000 - start), start);
    }
    for (std::uint32_t channel : {0u, 12u, 31u}) {
        int rising = 0;
        float peak = 0;
        for (std::size_t frame = 1; frame < 48000; ++frame) {
            const float before = output[(frame - 1) * 32 + channel];
            const float now = output[frame * 32 + channel];
            rising += before < 0 && now >= 0 ? 1 : 0;
            peak = std::max(peak, std::fabs(now));
        }
        // One rising zero crossing per period over one second, within one.
        EXPECT_NEAR(rising, tone_frequency(channel), 1.0) << channel;
        EXPECT_NEAR(peak, kToneLevel, 1e-3) << channel;
    }
}

TEST(DevicePlayer, ClickStartsEverySecondOnEveryChannel) {
    DevicePlayer player;
    player.prepare(PlayKind::click, 1000, 4, 4);
    std::vector<float> output(4 * 100);
    player.render(nullptr, output.data(), 100, 1995);
    for (std::uint32_t frame = 0; frame < 100; ++frame) {
        const std::uint64_t position = 1995 + frame;
        const float expected = position % 1000 < kClickFrames ? kClickLevel : 0.0f;
        for (std::uint32_t channel = 0; channel < 4; ++channel) {
            ASSERT_EQ(output[frame * 4 + channel], expected) << position;
        }
    }
}

TEST(DevicePlayer, EchoCopiesInputChannelsToTheSameOutputChannels) {
    DevicePlayer player;
    player.prepare(PlayKind::echo, 48000, 3, 2);
    const std::vector<float> input = {1, 2, 3, 4};
    std::vector<float> output(6, 9.0f);
    player.render(input.data(), output.data(), 2, 0);
    EXPECT_EQ(output, (std::vector<float>{1, 2, 0, 3, 4, 0}));
}

TEST(DevicePlayer, WavLoopsOnTheFirstChannels) {
    VelmoraCompat::WavAudio wav;
    wav.sample_rate = 48000;
    wav.channels = 1;
    wav.samples = {0.1f, 0.2f, 0.3f};
    DevicePlayer player;
    player.prepare(PlayKind::wav, 48000, 2, 2, &wav);
    std::vector<float> output(2 * 5);
    player.render(nullptr, output.data(), 5, 0);
    EXPECT_EQ(output, (std::vector<float>{0.1f, 0, 0.2f, 0, 0.3f, 0, 0.1f, 0, 0.2f, 0}));
}

TEST(InputMonitor, PeaksPerChannelAreTakenAndCleared) {
    InputMonitor monitor;
    monitor.reset(48000, false);
    const std::vector<float> input = {0.5f, -0.25f, 0.0f, -0.75f, 0.1f, 0.0f};
    monitor.observe(input.data(), 2, 3, 0);
    auto peaks = monitor.take_peaks();
    EXPECT_EQ(std::vector<float>(peaks.begin(), peaks.begin() + 3), (std::vector<float>{0.75f, 0.25f, 0.0f}));
    EXPECT_EQ(monitor.take_peaks()[0], 0.0f);
}

TEST(InputMonitor, ClickRoundTripIsTheInputPositionWithinItsSecond) {
    InputMonitor monitor;
    monitor.reset(1000, true);
    std::vector<float> input(2 * 100, 0.0f);
    // Channel 1 gets the click of second 2 back 768 frames late; channel 0 never.
    input[(2768 - 2700) * 2 + 1] = 0.8f;
    input[(2769 - 2700) * 2 + 1] = 0.8f;
    monitor.observe(input.data(), 100, 2, 2700);
    std::vector<ClickResult> results = monitor.take_click_results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].channel, 1u);
    EXPECT_EQ(results[0].round_trip_frames, 768);
    EXPECT_TRUE(monitor.take_click_results().empty());
}

TEST(CycleTiming, PercentilesOfRecordedLateness) {
    CycleTiming timing;
    timing.reserve(100);
    for (int i = 1; i <= 120; ++i) {
        timing.record(i * 1000);
    }
    const CycleTiming::Summary summary = timing.summarize();
    EXPECT_EQ(summary.cycles, 100u);
    EXPECT_EQ(summary.p50_us, 50.0);
    EXPECT_EQ(summary.p99_us, 99.0);
    EXPECT_EQ(summary.max_us, 100.0);
}

} // namespace
