// The runtime's state machine against a scripted server on 127.0.0.1 that speaks the real wire
// protocol, with the virtual loopback device or a simulated hardware device.
#include "runtime_test_support.h"

#include <velmora/engine/engine_runtime.h>
#include <velmora/platform/clocks.h>
#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace VelmoraRuntimeTest;
using State = VelmoraEngineState;

struct ExpectedEvent {
    std::uint64_t sequence;
    unsigned type, reason, attempt, max_attempts, error, key;
};

void expect_events(const State& state, const std::vector<ExpectedEvent>& expected) {
    ASSERT_EQ(state.recovery_event_count, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const VelmoraEngineRecoveryEvent& e = state.recovery_events[i];
        const ExpectedEvent& x = expected[i];
        EXPECT_EQ(std::vector<std::uint64_t>(
                      {e.sequence, e.type, e.reason, e.attempt, e.max_attempts, e.error_code, e.message_key}),
                  std::vector<std::uint64_t>(
                      {x.sequence, x.type, x.reason, x.attempt, x.max_attempts, x.error, x.key}))
            << "event " << i;
    }
}

// For failure messages: the fields that tell where the engine stands.
std::string describe(const State& s) {
    return "status " + std::to_string(s.status) + ", health " + std::to_string(s.health) + "/" +
           std::to_string(s.health_reason) + " key " + std::to_string(s.health_message_key) + ", error " +
           std::to_string(s.last_error_code) + " key " + std::to_string(s.last_error_key) + ", events " +
           std::to_string(s.recovery_event_count);
}

// A runtime for this test's client id, started on a configuration that names `server_port`.
class EngineRuntimeTest : public ::testing::Test {
protected:
    void start(ConfigSpec spec) {
        config_ = std::make_unique<ConfigFile>(spec);
        ASSERT_TRUE(runtime.start_from_config(config_->path().c_str()));
    }
    ConfigSpec configuration(std::uint16_t port = 0) const {
        return ConfigSpec{id, port != 0 ? port : server.port()};
    }
    State state() const { return runtime.get_state(); }
    bool reaches(const std::function<bool(const State&)>& condition,
                 std::chrono::milliseconds timeout = 10s) {
        return wait_for([&] { return condition(runtime.get_state()); }, timeout);
    }
    bool reaches_status(unsigned status, std::chrono::milliseconds timeout = 10s) {
        return reaches([status](const State& s) { return s.status == status; }, timeout);
    }
    bool reaches_settled() {
        return reaches(
            [](const State& s) { return running_and_settled(s.status, s.health, s.health_reason); });
    }
    const std::string& config_path() const { return config_->path(); }

    const std::uint32_t id = unique_client_id();
    StreamingServer server{id};
    EngineRuntime runtime;

private:
    std::unique_ptr<ConfigFile> config_;
};

TEST_F(EngineRuntimeTest, StartsWaitsForTheFirstSyncRunsAndStops) {
    start(configuration());
    ASSERT_TRUE(reaches_status(velmora_engine_status_waiting_sync));
    State s = state();
    EXPECT_EQ(s.health, velmora_engine_health_recovering);
    EXPECT_EQ(s.health_reason, velmora_engine_reason_waiting_sync);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_waiting_first_sync);
    EXPECT_EQ(s.client_id, id);
    EXPECT_EQ(s.input_level_count, 2u);
    EXPECT_EQ(s.input_levels[1].driver_channel, 3u);
    EXPECT_EQ(s.output_levels[0].driver_channel, 0u);
    {
        BlockReader block(id);
        ASSERT_NE(block.bytes(), nullptr);
        EXPECT_EQ(block.mode(), 0600u);
        EXPECT_EQ(block.stats().status, velmora_engine_status_waiting_sync);
        EXPECT_EQ(block.stats().client_id, id);
    }
    // No time limit on the first sync.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(state().status, velmora_engine_status_waiting_sync);

    server.start_streaming();
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    ASSERT_TRUE(reaches_settled()) << describe(state());
    s = state();
    EXPECT_EQ(
        std::vector<unsigned>({s.sample_rate, s.block_frames, s.actual_sample_rate, s.actual_block_frames}),
        std::vector<unsigned>({48000, 128, 48000, 128}));
    EXPECT_EQ(s.last_error_code, 0u);
    EXPECT_EQ(s.recovery_event_count, 0u);
    // The loopback plays the server's blocks back as captured input; the server receives them.
    ASSERT_TRUE(wait_for([&] {
        for (const auto& block : server.seen().input_blocks) {
            if (block.channel_count == 2 &&
                std::fabs(block.samples[block.samples.size() / 2] - 0.25f) < 1e-3f) {
                return true;
            }
        }
        return false;
    }));
    ASSERT_TRUE(reaches([](const State& s) { return s.output_levels[0].peak_milli == 250; }));
    {
        BlockReader block(id);
        ASSERT_NE(block.bytes(), nullptr);
        EXPECT_EQ(block.stats().status, velmora_engine_status_running);
        EXPECT_EQ(block.stats().sample_rate, 48000u);
        EXPECT_EQ(block.stats().block_frames, 128u);
        EXPECT_TRUE(wait_for([&] { return block.stats().asio_callbacks_per_sec > 100; }));
    }
    runtime.stop();
    s = state();
    EXPECT_EQ(s.status, velmora_engine_status_stopped);
    EXPECT_EQ(s.health, velmora_engine_health_inactive);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_stopped);
    EXPECT_FALSE(block_exists(id));
}

TEST_F(EngineRuntimeTest, StopBeforeTheFirstSync) {
    start(configuration());
    ASSERT_TRUE(reaches_status(velmora_engine_status_waiting_sync));
    runtime.stop();
    const State s = state();
    EXPECT_EQ(s.status, velmora_engine_status_stopped);
    EXPECT_EQ(s.last_error_code, velmora_engine_error_sync_not_received);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_stopped_before_sync);
    EXPECT_EQ(s.health, velmora_engine_health_failed);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_stopped_before_sync);
    EXPECT_FALSE(block_exists(id));
}

TEST_F(EngineRuntimeTest, FormatChangeFromTheServerResyncsWithoutARecoveryEvent) {
    start(configuration());
    server.start_streaming();
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    server.set_rate(44100);
    ASSERT_TRUE(reaches([](const State& s) {
        return s.status == velmora_engine_status_running && s.sample_rate == 44100 &&
               s.actual_sample_rate == 44100;
    })) << describe(state());
    EXPECT_EQ(state().recovery_event_count, 0u);
    EXPECT_EQ(state().last_error_code, 0u);
    EXPECT_EQ(BlockReader(id).stats().sample_rate, 44100u);
}

TEST_F(EngineRuntimeTest, TwelveFailedNetworkAttemptsRecordTwentyFourEvents) {
    velmora_test::FakeVelmoraServer silent(velmora_test::silent_server());
    ConfigSpec config = configuration(silent.port());
    config.discovery_timeout_ms = 1;
    start(config);
    ASSERT_TRUE(reaches([](const State& s) { return s.recovery_event_count >= 3; }));
    EXPECT_EQ(state().status, velmora_engine_status_starting);
    EXPECT_EQ(state().last_error_code, velmora_engine_error_network_start_failed);

    ASSERT_TRUE(reaches_status(velmora_engine_status_failed, 60s));
    const State s = state();
    EXPECT_EQ(s.last_error_code, velmora_engine_error_network_start_failed);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_network_retry_exhausted);
    EXPECT_EQ(s.health, velmora_engine_health_failed);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_network_retry_exhausted);
    EXPECT_EQ(s.next_recovery_sequence, 25u);
    constexpr unsigned W = velmora_engine_reason_waiting_sync;
    constexpr unsigned started = velmora_engine_event_attempt_started;
    constexpr unsigned failed = velmora_engine_event_attempt_failed;
    expect_events(s, {{17, failed, W, 9, 12, 4, 42},
                      {18, started, W, 10, 12, 0, 39},
                      {19, failed, W, 10, 12, 4, 42},
                      {20, started, W, 11, 12, 0, 39},
                      {21, failed, W, 11, 12, 4, 42},
                      {22, started, W, 12, 12, 0, 39},
                      {23, failed, W, 12, 12, 4, 42},
                      {24, velmora_engine_event_exhausted, W, 12, 12, 4, 49}});
    // One-second waits between the attempts.
    EXPECT_GE(s.recovery_events[7].tick_ms - s.recovery_events[0].tick_ms, 2900u);
    EXPECT_TRUE(wait_for([&] { return !block_exists(id); })) << "removed as the worker ends";
    EXPECT_GE(silent.seen().discovery_requests, 12u);
    runtime.stop();
    EXPECT_EQ(state().status, velmora_engine_status_failed) << "a failed status is kept";
}

TEST_F(EngineRuntimeTest, IncompatibleServerFailsAtOnce) {
    velmora_test::FakeServerOptions options;
    options.mutate_discovery_answer = [](std::vector<char>& answer) { answer[32] = 4; }; // protocol version
    velmora_test::FakeVelmoraServer incompatible(options);
    start(configuration(incompatible.port()));
    ASSERT_TRUE(reaches_status(velmora_engine_status_failed));
    const State s = state();
    EXPECT_EQ(s.last_error_code, velmora_engine_error_protocol_mismatch);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_protocol_mismatch);
    EXPECT_EQ(s.health, velmora_engine_health_failed);
    EXPECT_EQ(s.health_reason, velmora_engine_reason_protocol_mismatch);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_protocol_mismatch);
    EXPECT_EQ(s.recovery_event_count, 0u);
    EXPECT_EQ(incompatible.seen().discovery_requests, 1u);
}

TEST_F(EngineRuntimeTest, RefusedStartsTouchOnlyTheStateRecord) {
    EXPECT_FALSE(runtime.start_from_config(nullptr));
    EXPECT_FALSE(runtime.start_from_config(""));
    State s = state();
    EXPECT_EQ(s.status, velmora_engine_status_idle);
    EXPECT_EQ(s.health, velmora_engine_health_failed);
    EXPECT_EQ(s.last_error_code, velmora_engine_error_config_path_empty);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_config_path_empty);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_config_path_empty);

    start(configuration());
    server.start_streaming();
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    BlockReader block(id);
    ASSERT_NE(block.bytes(), nullptr);
    EXPECT_FALSE(runtime.start_from_config(config_path().c_str()));
    s = state();
    EXPECT_EQ(s.last_error_code, velmora_engine_error_already_running);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_already_running);
    EXPECT_EQ(s.status, velmora_engine_status_running);
    EXPECT_EQ(block.stats().last_error_code, 0u) << "the statistics block belongs to the worker";
    EXPECT_EQ(block.stats().status, velmora_engine_status_running);
    runtime.stop();
    // After stop has joined the worker, a new start is accepted and clears the record.
    ASSERT_TRUE(runtime.start_from_config(config_path().c_str()));
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    EXPECT_EQ(state().last_error_code, 0u);
}

TEST_F(EngineRuntimeTest, ChannelListsArePairedByPosition) {
    // Two driver inputs but one captured channel; three driver outputs but two played channels.
    ConfigSpec config = configuration();
    config.driver_outputs = "0, 1, 4";
    config.input_map = "0";
    start(config);
    ASSERT_TRUE(wait_for([&] { return server.has_client(); }));
    EXPECT_EQ(server.seen().announced_inputs, (std::vector<std::int64_t>{2}));
    EXPECT_EQ(state().input_level_count, 1u);
    EXPECT_EQ(state().output_level_count, 2u);
    // The single captured channel reaches the server: its input blocks are not silently ignored.
    server.start_streaming(2, 0.5f);
    ASSERT_TRUE(wait_for([&] {
        for (const auto& block : server.seen().input_blocks) {
            if (block.channel_count == 1 &&
                std::fabs(block.samples[block.samples.size() / 2] - 0.5f) < 1e-3f) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(EngineRuntimeTest, ConfigurationsWithoutAnyChannelOrUnreadableFailToLoad) {
    ConfigSpec no_drivers = configuration();
    no_drivers.driver_inputs = no_drivers.driver_outputs = "";
    // Maps that pair with nothing leave no channel either.
    ConfigSpec no_maps = configuration();
    no_maps.input_map = no_maps.output_map = "";
    for (const ConfigSpec* config : std::vector<const ConfigSpec*>{&no_drivers, &no_maps, nullptr}) {
        EngineRuntime engine;
        ConfigFile file(config != nullptr ? *config : configuration());
        ASSERT_TRUE(
            engine.start_from_config(config != nullptr ? file.path().c_str() : "/nonexistent/velmora.ini"));
        ASSERT_TRUE(wait_for([&] { return engine.get_state().status == velmora_engine_status_failed; }));
        const State s = engine.get_state();
        EXPECT_EQ(s.last_error_code, velmora_engine_error_config_load_failed);
        EXPECT_EQ(s.last_error_key, velmora_engine_message_config_load_failed);
        EXPECT_EQ(s.health_message_key, velmora_engine_message_config_load_failed);
    }
    EXPECT_EQ(server.seen().discovery_requests, 0u);
    EXPECT_FALSE(block_exists(id));
}

TEST_F(EngineRuntimeTest, SilentServerShowsSyncTimeoutAndLeavesItWhenSyncsReturn) {
    EXPECT_FALSE(runtime.is_sync_timed_out(1000000)) << "no sync seen yet";
    start(configuration());
    server.start_streaming();
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    ASSERT_TRUE(
        wait_for([&] { return !runtime.is_sync_timed_out(VelmoraPlatform::monotonic_milliseconds()); }));
    // A last-sync time later than the "now" a caller read earlier is an age of 0, not a wrapped one.
    EXPECT_FALSE(runtime.is_sync_timed_out(0));
    EXPECT_TRUE(runtime.is_sync_timed_out(VelmoraPlatform::monotonic_milliseconds() + 3001));

    server.pause(true);
    ASSERT_TRUE(reaches([](const State& s) {
        return s.health == velmora_engine_health_recovering &&
               s.health_message_key == velmora_engine_message_sync_timed_out;
    })) << describe(state());
    EXPECT_EQ(state().health_reason, velmora_engine_reason_waiting_sync);
    EXPECT_EQ(state().status, velmora_engine_status_running);

    // Syncs again: the health follows the player's telemetry again (healthy, or degraded by a
    // glitch on a loaded machine), with no recovery.
    server.pause(false);
    ASSERT_TRUE(reaches([](const State& s) {
        return s.status == velmora_engine_status_running &&
               s.health_message_key != velmora_engine_message_sync_timed_out &&
               s.health != velmora_engine_health_recovering;
    })) << describe(state());
    EXPECT_EQ(state().recovery_event_count, 0u);
}

TEST_F(EngineRuntimeTest, DeviceLossInLoopbackModeOnlyDegrades) {
    ConfigSpec config = configuration();
    config.extra_test_lines =
        "loopback_device_lost_after_ms = 1500\nloopback_device_lost_duration_ms = 3000\n";
    start(config);
    server.start_streaming();
    ASSERT_TRUE(reaches([](const State& s) {
        return s.health == velmora_engine_health_degraded &&
               s.health_reason == velmora_engine_reason_device_lost;
    })) << describe(state());
    EXPECT_EQ(state().health_message_key, velmora_engine_message_device_lost);
    EXPECT_EQ(state().status, velmora_engine_status_running);
    ASSERT_TRUE(reaches_settled()) << describe(state());
    EXPECT_EQ(state().status, velmora_engine_status_running);
    EXPECT_EQ(state().recovery_event_count, 0u) << "no recovery in loopback mode";
}

TEST_F(EngineRuntimeTest, HardwareDeviceThatDiesAndCannotBeReopenedExhaustsRecovery) {
    // A simulated hardware device of the HAL stand-in, replaced for the test's duration.
    namespace Hal = VelmoraCompat::Hal;
    Hal::DeviceDescription device;
    device.uid = "RuntimeTestInterface" + std::to_string(id);
    device.name = "Runtime Test Interface";
    device.input_streams = {Hal::StreamDescription{2}};
    device.output_streams = {Hal::StreamDescription{2}};
    device.input.kind = Hal::InputKind::loopback;
    Hal::reset({device});
    struct Restore {
        ~Restore() { Hal::reset_to_defaults(); }
    } restore;
    ConfigSpec config = configuration();
    config.loopback = false;
    config.device_uid = device.uid;
    start(config);
    server.start_streaming();
    // Running, with player telemetry showing the device's format.
    ASSERT_TRUE(reaches([](const State& s) {
        return s.status == velmora_engine_status_running && s.actual_sample_rate == 48000;
    })) << describe(state());
    EXPECT_EQ(state().actual_block_frames, 128u);

    // Unplugged: the device dies and leaves the device list, so no attempt can open it again.
    ASSERT_TRUE(Hal::remove_device(Hal::device_with_uid(device.uid)));
    ASSERT_TRUE(reaches([](const State& s) { return s.recovery_event_count >= 3; }));
    EXPECT_EQ(state().status, velmora_engine_status_recovering);
    EXPECT_EQ(state().health_reason, velmora_engine_reason_device_lost);

    ASSERT_TRUE(reaches_status(velmora_engine_status_failed, 30s));
    const State s = state();
    EXPECT_EQ(s.last_error_code, velmora_engine_error_audio_start_failed);
    EXPECT_EQ(s.last_error_key, velmora_engine_message_runtime_retry_exhausted);
    EXPECT_EQ(s.health, velmora_engine_health_failed);
    EXPECT_EQ(s.health_message_key, velmora_engine_message_runtime_retry_exhausted);
    constexpr unsigned L = velmora_engine_reason_device_lost;
    constexpr unsigned started = velmora_engine_event_attempt_started;
    constexpr unsigned failed = velmora_engine_event_attempt_failed;
    expect_events(s, {{1, velmora_engine_event_requested, L, 1, 3, 0, 38},
                      {2, started, L, 1, 3, 0, 41},
                      {3, failed, L, 1, 3, 7, 44},
                      {4, started, L, 2, 3, 0, 41},
                      {5, failed, L, 2, 3, 7, 44},
                      {6, started, L, 3, 3, 0, 41},
                      {7, failed, L, 3, 3, 7, 44},
                      {8, velmora_engine_event_exhausted, L, 3, 3, 7, 51}});
    // One second apart, and the end one second after the third failure.
    for (const int i : {3, 5, 7}) {
        EXPECT_GE(s.recovery_events[i].tick_ms - s.recovery_events[i - 1].tick_ms, 950u) << i;
    }
    EXPECT_TRUE(wait_for([&] { return !block_exists(id); })) << "removed as the worker ends";
    runtime.stop(); // before the simulated device list is restored
}

// Crafted telemetry against a runtime put into `running` by hand: one verdict per telemetry
// period, the first rule that applies.
TEST(EngineRuntimeHealth, RulesApplyInTheirOrder) {
    EngineRuntime runtime;
    runtime.set_status(velmora_engine_status_running);
    AsioPlayer::Telemetry t;
    t.callbacks_per_sec = 375;
    t.callback_count = 1000;
    t.requested_sample_rate = t.actual_sample_rate = 48000;
    t.requested_block_frames = t.actual_block_frames = 128;
    const auto verdict = [&](unsigned health, unsigned reason, unsigned key) {
        runtime.evaluate_asio_health(t);
        const State s = runtime.get_state();
        return std::vector<unsigned>({s.health, s.health_reason, s.health_message_key}) ==
               std::vector<unsigned>({health, reason, key});
    };
    constexpr unsigned healthy = velmora_engine_health_healthy;
    constexpr unsigned degraded = velmora_engine_health_degraded;
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));

    // Everything changes in one period: the counters are reported one period each, in rule order.
    t.output_not_ready_count = t.capture_dropped_count = t.playback_dropped_count = t.overrun_count = 1;
    t.underrun_count = 1;
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_output_ready_failed,
                        velmora_engine_message_output_ready_failed));
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_input_capture_dropped, velmora_engine_message_input_dropped));
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_output_block_dropped, velmora_engine_message_output_dropped));
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_playback_overrun, velmora_engine_message_playback_overrun));
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_playback_underrun, velmora_engine_message_playback_underrun));
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));

    // A format mismatch comes before the counters; the actual format is always recorded.
    t.underrun_count = 3;
    t.actual_sample_rate = 44100;
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_sample_rate_mismatch,
                        velmora_engine_message_sample_rate_mismatch));
    EXPECT_EQ(runtime.get_state().actual_sample_rate, 44100u);
    t.actual_sample_rate = 48000;
    t.actual_block_frames = 256;
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_buffer_size_mismatch,
                        velmora_engine_message_buffer_size_mismatch));
    t.actual_block_frames = 128;
    t.format_mismatch_count = 1;
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_buffer_size_mismatch,
                        velmora_engine_message_buffer_size_mismatch));
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_playback_underrun, velmora_engine_message_playback_underrun));

    // A lost device; not in hardware mode (never started), so no recovery is requested.
    t.device_lost = true;
    t.underrun_count = 4;
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_device_lost, velmora_engine_message_device_lost));
    EXPECT_EQ(runtime.get_state().recovery_event_count, 0u);
    t.device_lost = false;

    // One stalled period is only counted (the next rule decides); two are a stopped callback.
    t.callbacks_per_sec = 0;
    t.underrun_count = 5;
    EXPECT_TRUE(
        verdict(degraded, velmora_engine_reason_playback_underrun, velmora_engine_message_playback_underrun));
    EXPECT_TRUE(verdict(degraded, velmora_engine_reason_asio_callback_stopped,
                        velmora_engine_message_callback_stopped));
    // A period with callbacks restarts the count; before the first callback ever, no stall.
    t.callbacks_per_sec = 375;
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));
    t.callbacks_per_sec = 0;
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));
    t.callback_count = 0;
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));
    EXPECT_TRUE(verdict(healthy, velmora_engine_reason_none, velmora_engine_message_running));

    // Only while running.
    runtime.set_status(velmora_engine_status_recovering);
    runtime.set_health(velmora_engine_health_recovering, velmora_engine_reason_resyncing,
                       velmora_engine_message_resyncing_format);
    t.underrun_count = 9;
    t.actual_sample_rate = 44100;
    EXPECT_TRUE(verdict(velmora_engine_health_recovering, velmora_engine_reason_resyncing,
                        velmora_engine_message_resyncing_format));
    EXPECT_EQ(runtime.get_state().actual_sample_rate, 44100u);
}

TEST(EngineRuntimeRecord, EventRingKeepsTheLastEightOldestFirst) {
    EngineRuntime runtime;
    for (unsigned i = 1; i <= 23; ++i) {
        runtime.record_recovery_event_with_limit(velmora_engine_event_attempt_failed,
                                                 velmora_engine_reason_waiting_sync, i, 12,
                                                 velmora_engine_error_network_start_failed,
                                                 velmora_engine_message_recovery_detail_network_failed_retry);
        const State s = runtime.get_state();
        ASSERT_EQ(s.recovery_event_count, std::min(i, 8u));
        ASSERT_EQ(s.recovery_events[0].sequence, i <= 8 ? 1u : i - 7);
        ASSERT_EQ(s.recovery_events[s.recovery_event_count - 1].sequence, i);
    }
    State s = runtime.get_state();
    EXPECT_EQ(s.next_recovery_sequence, 24u);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(s.recovery_events[i].attempt, 16u + i);
    }
    runtime.record_recovery_event(velmora_engine_event_requested, velmora_engine_reason_device_lost, 1,
                                  velmora_engine_error_none,
                                  velmora_engine_message_recovery_detail_requested);
    EXPECT_EQ(runtime.get_state().recovery_events[7].max_attempts, 3u);
    runtime.reset_recovery_events();
    s = runtime.get_state();
    EXPECT_EQ(s.recovery_event_count, 0u);
    EXPECT_EQ(s.next_recovery_sequence, 1u);
    EXPECT_EQ(s.recovery_events[0].sequence, 0u);
}

TEST(EngineRuntimeRecord, ChannelLevels) {
    EngineRuntime runtime;
    std::vector<std::int64_t> many(40);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<std::int64_t>(i % 32);
    }
    runtime.set_channel_level_maps({4, 5, 6}, many);
    AsioPlayer::Telemetry t;
    t.input_level_count = 2; // fewer metered than configured: the rest read 0
    t.input_peak_milli[0] = 100;
    t.input_peak_milli[1] = 1000;
    t.input_peak_milli[2] = 999;
    t.output_level_count = 32;
    t.output_peak_milli[31] = 7;
    runtime.update_channel_levels(t);
    const State s = runtime.get_state();
    EXPECT_EQ(s.input_level_count, 3u);
    EXPECT_EQ(s.output_level_count, 32u);
    EXPECT_EQ(s.input_levels[2].driver_channel, 6u);
    EXPECT_EQ(s.input_levels[0].peak_milli, 100u);
    EXPECT_EQ(s.input_levels[1].peak_milli, 1000u);
    EXPECT_EQ(s.input_levels[2].peak_milli, 0u);
    EXPECT_EQ(s.output_levels[31].peak_milli, 7u);
}

} // namespace
