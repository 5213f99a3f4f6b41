// Cost of the audio player's device cycle: a plain copy at ratio 1 against the steered,
// interpolating read, for a stereo and a 32-channel route.
#include "audio_test_support.h"

#include <velmora/engine/asio_player.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

void device_cycle(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const bool steered = state.range(1) != 0;
    VirtualPlayerClock clock;
    ScriptedAudioDevice* device = nullptr;
    AsioPlayer player(ScriptedAudioDevice::factory(device), clock);
    AudioDeviceSettings s;
    for (std::size_t c = 0; c < channels; ++c) {
        s.output_channel_map.push_back(static_cast<long>(c));
        s.input_channel_map.push_back(static_cast<long>(c));
    }
    s.prebuffer_blocks = 4;
    // With the target at the depth the queue holds, the ratio stays exactly 1 (a plain copy).
    s.target_queue_depth = steered ? 6 : 4;
    s.max_queue_blocks = 10;
    player.start(
        s, nullptr, [](unsigned, unsigned short, unsigned short, const std::vector<float>&) {}, nullptr);
    std::vector<float> block(channels * 128, 0.25f);
    unsigned sequence = 0;
    for (int i = 0; i < 4; ++i) {
        player.submit_playback_block(sequence++, 48000, 128, static_cast<unsigned short>(channels), block, 0,
                                     0, 0);
    }
    for (auto _ : state) {
        state.PauseTiming();
        player.submit_playback_block(sequence++, 48000, 128, static_cast<unsigned short>(channels), block, 0,
                                     0, 0);
        state.ResumeTiming();
        device->cycle();
    }
    player.stop();
}

BENCHMARK(device_cycle)
    ->ArgNames({"channels", "steered"})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Args({32, 0})
    ->Args({32, 1});

} // namespace

BENCHMARK_MAIN();
