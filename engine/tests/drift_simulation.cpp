#include "drift_simulation.h"

#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    const auto index = static_cast<std::size_t>(std::clamp(p, 0.0, 1.0) * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

} // namespace

DriftResult run_drift_simulation(const DriftCase& c) {
    DriftResult result;
    const double fs = c.sample_rate;
    const std::size_t frames = c.block_frames;
    result.true_ratio = 1.0 + c.drift_ppm / 1e6;

    VirtualPlayerClock clock(1000000000ull);
    ScriptedAudioDevice* device = nullptr;
    AsioPlayer player(
        [&device] {
            auto created = std::make_unique<ScriptedAudioDevice>();
            device = created.get();
            return created;
        },
        clock);

    AudioDeviceSettings settings;
    settings.device_uid = "simulated";
    settings.sample_rate = c.sample_rate;
    settings.block_frames = frames;
    for (std::size_t ch = 0; ch < c.output_channels; ++ch) {
        settings.output_channel_map.push_back(static_cast<long>(ch));
    }
    settings.prebuffer_blocks = c.latency_blocks;
    settings.target_queue_depth = c.latency_blocks;
    settings.max_queue_blocks = std::max<std::size_t>(c.latency_blocks + 4, 6);
    result.target_frames = settings.target_queue_depth * frames;
    result.capacity_frames = settings.max_queue_blocks * frames;

    AsioPlayer::Telemetry last{};
    player.start(settings, nullptr, [](unsigned, unsigned short, unsigned short, const std::vector<float>&) {},
                 [&last](const AsioPlayer::Telemetry& t) { last = t; });

    const double device_period = static_cast<double>(frames) / fs;
    const double server_period = static_cast<double>(frames) / (fs * result.true_ratio);
    const double delay = c.network_delay_ms / 1000.0;
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> jitter(0.0, c.network_jitter_ms / 1000.0);

    std::vector<float> block(c.output_channels * frames);
    std::uint64_t device_cycle = 0;
    std::uint64_t server_block = 0;
    double previous_arrival = 0.0;
    double next_arrival = delay;
    const double start_ns = static_cast<double>(clock.now_ns());

    std::vector<double> steady_errors;
    const double steady_from = c.seconds * 0.75;
    double second_sum = 0.0;
    std::size_t second_count = 0;
    double next_second = 1.0;
    std::uint64_t underruns_at_10s = 0;
    std::uint64_t overruns_at_10s = 0;
    const double target = static_cast<double>(result.target_frames);

    while (true) {
        const double device_time = static_cast<double>(device_cycle + 1) * device_period;
        if (device_time > c.seconds) {
            break;
        }
        if (next_arrival <= device_time) {
            clock.set_ns(static_cast<std::uint64_t>(start_ns + next_arrival * 1e9));
            for (std::size_t ch = 0; ch < c.output_channels; ++ch) {
                for (std::size_t i = 0; i < frames; ++i) {
                    const double n = static_cast<double>(server_block * frames + i);
                    block[ch * frames + i] =
                        c.sine_hz > 0.0 ? static_cast<float>(0.5 * std::sin(2.0 * M_PI * c.sine_hz * n / fs)) : 0.25f;
                }
            }
            VelmoraProtocol::SyncInfo sync;
            sync.sequence = static_cast<std::uint32_t>(server_block);
            sync.sample_rate = c.sample_rate;
            sync.frame_count = static_cast<std::uint16_t>(frames);
            sync.server_sample_time = server_block * frames;
            player.update_remote_timeline(sync);
            const std::uint64_t now = clock.now_ns();
            player.submit_playback_block(static_cast<unsigned>(server_block), c.sample_rate,
                                         static_cast<unsigned short>(frames),
                                         static_cast<unsigned short>(c.output_channels), block, now, now, now);
            ++server_block;
            previous_arrival = next_arrival;
            const double produced = static_cast<double>(server_block) * server_period;
            next_arrival = std::max(previous_arrival, produced + delay + jitter(random));
            continue;
        }
        clock.set_ns(static_cast<std::uint64_t>(start_ns + device_time * 1e9));
        device->cycle();
        ++device_cycle;
        if (c.on_output) {
            c.on_output(device_time, device->output[0].data(), frames);
        }
        const double error = static_cast<double>(player.get_playback_buffered_frames()) - target;
        second_sum += error;
        ++second_count;
        if (device_time >= steady_from) {
            steady_errors.push_back(error);
        }
        if (device_time >= next_second) {
            // The flush step publishes once a simulated second; one flush here keeps the figures
            // current even when no block arrived.
            player.flush_non_realtime_work();
            DriftSecond second;
            second.time_s = next_second;
            second.pll_ratio = 1.0 / player.input_clock_ratio();
            second.mean_depth_error = second_count > 0 ? second_sum / static_cast<double>(second_count) : 0.0;
            second.underruns = last.underrun_count;
            second.overruns = last.overrun_count;
            result.seconds.push_back(second);
            if (next_second == 10.0) {
                underruns_at_10s = last.underrun_count;
                overruns_at_10s = last.overrun_count;
            }
            second_sum = 0.0;
            second_count = 0;
            next_second += 1.0;
        }
    }
    clock.advance_ns(1000000000ull);
    player.flush_non_realtime_work();
    result.underruns = last.underrun_count;
    result.overruns = last.overrun_count;
    result.underruns_after_10s = result.underruns - underruns_at_10s;
    result.overruns_after_10s = result.overruns - overruns_at_10s;
    player.stop();

    result.steady_error_p50 = percentile(steady_errors, 0.5);
    result.steady_error_p1 = percentile(steady_errors, 0.01);
    result.steady_error_p99 = percentile(steady_errors, 0.99);
    double sum = 0.0;
    for (double e : steady_errors) {
        sum += e;
    }
    result.steady_error_mean = steady_errors.empty() ? 0.0 : sum / static_cast<double>(steady_errors.size());

    // Settled once the one-second mean error stays inside the steady envelope [p1, p99] widened
    // by 16 frames.
    const double low = result.steady_error_p1 - 16.0;
    const double high = result.steady_error_p99 + 16.0;
    result.settle_time_s = result.seconds.empty() ? -1.0 : result.seconds.front().time_s;
    for (std::size_t i = result.seconds.size(); i-- > 0;) {
        const double e = result.seconds[i].mean_depth_error;
        if (e < low || e > high) {
            result.settle_time_s = i + 1 < result.seconds.size() ? result.seconds[i + 1].time_s : -1.0;
            break;
        }
    }
    return result;
}
