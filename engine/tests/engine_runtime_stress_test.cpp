// Resyncs and runtime recoveries while output blocks and syncs stream in: the worker stops and
// restarts the player (rebuilding its rings) while the network thread keeps handing it blocks.
// Built with -DVELMORA_TSAN=ON this runs under ThreadSanitizer, which reports any access to the
// player that the audio hand-off does not order.
#include "audio_test_support.h"
#include "runtime_test_support.h"

#include <velmora/engine/engine_runtime.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace VelmoraRuntimeTest;

// Devices of this test run their cycles on a thread of their own, about one per millisecond,
// and report themselves lost once the test raises the loss generation past the one they were
// born in.
std::atomic<int> g_loss_generation{0};
std::atomic<int> g_devices_opened{0};

std::unique_ptr<AudioDevice> make_device() {
    ++g_devices_opened;
    return std::make_unique<ThreadedAudioDevice>(
        std::chrono::milliseconds(1), [born = g_loss_generation.load()] { return g_loss_generation > born; });
}

TEST(EngineRuntimeStress, ResyncsAndRecoveriesWhileBlocksStream) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigSpec spec{id, server.port()};
    spec.device_uid = "stress";
    ConfigFile config(spec);
    EngineRuntime runtime(make_device);
    // A reader polls the state all along, from before the start to after the stop, as a host may.
    std::atomic<bool> reading{true};
    std::atomic<std::uint64_t> reads{0}, torn{0};
    std::thread reader([&] {
        while (reading) {
            const VelmoraEngineState s = runtime.get_state();
            torn += s.abi_version != 5 || s.recovery_event_capacity != 8;
            ++reads;
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    EXPECT_TRUE(wait_for([&] { return runtime.get_state().status == velmora_engine_status_running; }));

    // Rounds of format changes back and forth (each one a resync), each followed by a device loss
    // that the next telemetry period notices and a recovery repairs, blocks streaming throughout.
    int resyncs = 0;
    int recoveries = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 6; ++i) {
            server.set_rate(resyncs % 2 == 0 ? 44100 : 48000);
            ++resyncs;
            std::this_thread::sleep_for(100ms);
        }
        // Every resync of the round is done (running at the last format, no new device for a while)
        // before the current device is lost.
        EXPECT_TRUE(wait_for([&] {
            const int opened = g_devices_opened.load();
            std::this_thread::sleep_for(300ms);
            const VelmoraEngineState s = runtime.get_state();
            return s.status == velmora_engine_status_running && s.sample_rate == 48000 &&
                   g_devices_opened.load() == opened;
        }));
        const std::uint64_t events_before = runtime.get_state().next_recovery_sequence;
        ++g_loss_generation;
        if (wait_for([&] {
                const VelmoraEngineState s = runtime.get_state();
                return s.next_recovery_sequence >= events_before + 3 &&
                       s.status == velmora_engine_status_running;
            })) {
            ++recoveries;
        }
    }
    const VelmoraEngineState before_stop = runtime.get_state();
    runtime.stop();
    reading = false;
    reader.join();
    server.stop_streaming();

    EXPECT_EQ(recoveries, 3) << "status " << before_stop.status << ", events "
                             << before_stop.recovery_event_count;
    EXPECT_NE(before_stop.status, velmora_engine_status_failed) << "error " << before_stop.last_error_code;
    EXPECT_GT(g_devices_opened.load(), resyncs / 2) << "every resync opened a new device";
    EXPECT_GT(reads.load(), 100u);
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_EQ(runtime.get_state().status, velmora_engine_status_stopped);
}

} // namespace
