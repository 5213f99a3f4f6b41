#include "drift_simulation.h"

#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>

#include <cmath>
#include <random>

DriftResult run_drift_simulation(const DriftCase& c) {
    constexpr double fs = 48000.0;
    constexpr std::size_t frames = 128;
    constexpr std::size_t channels = 2;
    DriftResult result;
    result.true_ratio = 1.0 + c.drift_ppm / 1e6;

    VirtualPlayerClock clock;
    ScriptedAudioDevice* device = nullptr;
    AsioPlayer player(ScriptedAudioDevice::factory(device), clock);
    AudioDeviceSettings settings;
    settings.output_channel_map = {0, 1};
    settings.prebuffer_blocks = settings.target_queue_depth = c.latency_blocks;
    settings.max_queue_blocks = std::max<std::size_t>(c.latency_blocks + 4, 6);
    result.target_frames = settings.target_queue_depth * frames;
    result.capacity_frames = settings.max_queue_blocks * frames;
    AsioPlayer::Telemetry last{};
    player.start(
        settings, nullptr, [](unsigned, unsigned short, unsigned short, const std::vector<float>&) {},
        [&last](const AsioPlayer::Telemetry& t) { last = t; });

    const double device_period = frames / fs;
    const double server_period = frames / (fs * result.true_ratio);
    const double delay = 0.001;
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> jitter(0.0, c.network_jitter_ms / 1000.0);
    std::vector<float> block(channels * frames);
    const double start_ns = static_cast<double>(clock.now_ns());
    std::uint64_t server_block = 0;
    double next_arrival = delay;
    double next_second = 1.0;
    for (std::uint64_t device_cycle = 1; device_cycle * device_period <= c.seconds;) {
        const double device_time = static_cast<double>(device_cycle) * device_period;
        if (next_arrival <= device_time) {
            clock.set_ns(static_cast<std::uint64_t>(start_ns + next_arrival * 1e9));
            for (std::size_t i = 0; i < block.size(); ++i) {
                const double n = static_cast<double>(server_block * frames + i % frames);
                block[i] = c.sine_hz > 0.0
                               ? static_cast<float>(0.5 * std::sin(2.0 * M_PI * c.sine_hz * n / fs))
                               : 0.25f;
            }
            player.update_remote_timeline({.sequence = static_cast<std::uint32_t>(server_block),
                                           .sample_rate = 48000,
                                           .frame_count = frames,
                                           .server_sample_time = server_block * frames});
            const std::uint64_t now = clock.now_ns();
            player.submit_playback_block(static_cast<unsigned>(server_block++), 48000, frames, channels,
                                         block, now, now, now);
            next_arrival = std::max(next_arrival, static_cast<double>(server_block) * server_period + delay +
                                                      jitter(random));
            continue;
        }
        clock.set_ns(static_cast<std::uint64_t>(start_ns + device_time * 1e9));
        device->cycle();
        ++device_cycle;
        if (c.on_cycle) {
            c.on_cycle(device_time,
                       static_cast<double>(player.get_playback_buffered_frames()) -
                           static_cast<double>(result.target_frames),
                       device->output[0].data(), frames);
        }
        if (device_time >= next_second) {
            // The flush step publishes once a simulated second; one flush here keeps the figures
            // current even when no block arrived.
            player.flush_non_realtime_work();
            result.seconds.push_back(
                {next_second, 1.0 / player.input_clock_ratio(), last.underrun_count, last.overrun_count});
            next_second += 1.0;
        }
    }
    clock.advance_ns(1000000000ull);
    player.flush_non_realtime_work();
    player.stop();
    result.underruns = last.underrun_count;
    result.overruns = last.overrun_count;
    const DriftSecond at_10s = result.seconds.size() >= 10 ? result.seconds[9] : DriftSecond{};
    result.underruns_after_10s = result.underruns - at_10s.underruns;
    result.overruns_after_10s = result.overruns - at_10s.overruns;
    return result;
}
