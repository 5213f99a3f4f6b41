// The runtime's state machine against a scripted server on 127.0.0.1 that speaks the real wire
// protocol, with the virtual loopback device or a simulated hardware device.
#include "runtime_test_support.h"

#include <velmora/engine/engine_runtime.h>
#include <velmora/platform/clocks.h>
#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace VelmoraRuntimeTest;
using State = VelmoraEngineState;
using Values = std::vector<std::uint64_t>;

// Where the engine stands: status, health, health reason, health key, last error, last error key.
// Status 0 idle, 2 waiting for sync, 6 stopped, 7 failed; health 0 inactive, 3 recovering, 4 failed.
Values standing(const State& s) {
    return {s.status, s.health, s.health_reason, s.health_message_key, s.last_error_code, s.last_error_key};
}

// The events held, oldest first: sequence, type, reason, attempt, max attempts, error, key.
void expect_events(const State& s, const std::vector<Values>& expected) {
    ASSERT_EQ(s.recovery_event_count, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const VelmoraEngineRecoveryEvent& e = s.recovery_events[i];
        EXPECT_EQ(
            Values({e.sequence, e.type, e.reason, e.attempt, e.max_attempts, e.error_code, e.message_key}),
            expected[i])
            << "event " << i;
    }
}

// Whether the server has received an input block of `channels` channels carrying `value`.
bool server_received(const velmora_test::FakeVelmoraServer& server, std::size_t channels, float value) {
    return wait_for([&] {
        const auto blocks = server.seen().input_blocks;
        return std::any_of(blocks.begin(), blocks.end(), [&](const auto& b) {
            return b.channel_count == channels && std::fabs(b.samples[b.samples.size() / 2] - value) < 1e-3f;
        });
    });
}

// A runtime for this test's client id, started on a configuration that names `server_port`.
class EngineRuntimeTest : public ::testing::Test {
protected:
    void start(const ConfigSpec& spec) {
        config_ = std::make_unique<ConfigFile>(spec);
        ASSERT_TRUE(runtime.start_from_config(config_->path().c_str()));
    }
    ConfigSpec configuration(std::uint16_t port = 0) const { return {id, port != 0 ? port : server.port()}; }
    State state() const { return runtime.get_state(); }
    bool reaches(const std::function<bool(const State&)>& condition,
                 std::chrono::milliseconds timeout = 10s) {
        return wait_for([&] { return condition(runtime.get_state()); }, timeout);
    }
    bool reaches_status(unsigned status, std::chrono::milliseconds timeout = 10s) {
        return reaches([status](const State& s) { return s.status == status; }, timeout);
    }

    const std::uint32_t id = unique_client_id();
    StreamingServer server{id};
    EngineRuntime runtime;
    std::unique_ptr<ConfigFile> config_;
};

TEST_F(EngineRuntimeTest, WaitsForTheFirstSyncWithoutLimitAndStopsBeforeIt) {
    start(configuration());
    ASSERT_TRUE(reaches_status(velmora_engine_status_waiting_sync));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(standing(state()), Values({2, 3, 1, 8, 0, 0})); // waiting_first_sync
    EXPECT_EQ(Values({state().client_id, state().input_level_count, state().input_levels[1].driver_channel}),
              Values({id, 2, 3}));
    EXPECT_TRUE(block_exists(id));
    runtime.stop();
    EXPECT_EQ(standing(state()), Values({6, 4, 0, 9, 5, 9})); // stopped_before_sync, sync_not_received
    EXPECT_FALSE(block_exists(id));
}

TEST_F(EngineRuntimeTest, RunsResyncsOnAFormatChangeRefusesASecondStartAndStops) {
    EXPECT_FALSE(runtime.is_sync_timed_out(1000000)) << "no sync seen yet";
    start(configuration());
    server.start_streaming();
    ASSERT_TRUE(reaches([](const State& s) {
        return running_and_settled(s.status, s.health, s.health_reason) &&
               s.output_levels[0].peak_milli == 250;
    })) << ::testing::PrintToString(standing(state()));
    EXPECT_EQ(Values({state().sample_rate, state().block_frames, state().actual_sample_rate,
                      state().actual_block_frames, state().last_error_code, state().recovery_event_count}),
              Values({48000, 128, 48000, 128, 0, 0}));
    // The loopback plays the server's blocks back as captured input; the server receives them.
    EXPECT_TRUE(server_received(server, 2, 0.25f));
    BlockReader block(id);
    ASSERT_NE(block.bytes(), nullptr);
    EXPECT_EQ(block.stats().status, velmora_engine_status_running);
    EXPECT_TRUE(wait_for([&] { return block.stats().asio_callbacks_per_sec > 100; }));
    // A last-sync time later than the "now" a caller read earlier is an age of 0, not a wrapped one.
    EXPECT_FALSE(runtime.is_sync_timed_out(0));
    EXPECT_TRUE(runtime.is_sync_timed_out(VelmoraPlatform::monotonic_milliseconds() + 3001));

    server.set_rate(44100);
    ASSERT_TRUE(reaches([](const State& s) {
        return s.status == velmora_engine_status_running && s.sample_rate == 44100 &&
               s.actual_sample_rate == 44100;
    })) << ::testing::PrintToString(standing(state()));
    EXPECT_EQ(Values({state().recovery_event_count, state().last_error_code, block.stats().sample_rate}),
              Values({0, 0, 44100}));

    EXPECT_FALSE(runtime.start_from_config(config_->path().c_str()));
    EXPECT_EQ(Values({state().status, state().last_error_code, state().last_error_key}),
              Values({velmora_engine_status_running, velmora_engine_error_already_running,
                      velmora_engine_message_already_running}));
    EXPECT_EQ(block.stats().last_error_code, 0u) << "the statistics block belongs to the worker";

    runtime.stop();
    EXPECT_EQ(standing(state()), Values({6, 0, 0, 7, 2, 2})); // stopped; already_running
    EXPECT_FALSE(block_exists(id));
    // After stop has joined the worker, a new start is accepted and clears the record.
    ASSERT_TRUE(runtime.start_from_config(config_->path().c_str()));
    ASSERT_TRUE(reaches_status(velmora_engine_status_running));
    EXPECT_EQ(state().last_error_code, 0u);
}

TEST_F(EngineRuntimeTest, TwelveFailedNetworkAttemptsRecordTwentyFourEvents) {
    velmora_test::FakeVelmoraServer silent(velmora_test::silent_server());
    ConfigSpec config = configuration(silent.port());
    config.discovery_timeout_ms = 1;
    start(config);
    ASSERT_TRUE(reaches([](const State& s) { return s.recovery_event_count >= 3; }));
    EXPECT_EQ(state().status, velmora_engine_status_starting);

    ASSERT_TRUE(reaches_status(velmora_engine_status_failed, 60s));
    const State s = state();
    EXPECT_EQ(standing(s), Values({7, 4, 0, 16, 4, 16})); // network_retry_exhausted
    EXPECT_EQ(s.next_recovery_sequence, 25u);
    // Types: 2 attempt started, 3 attempt failed, 5 exhausted; reason 1 waiting for sync.
    expect_events(s, {{17, 3, 1, 9, 12, 4, 42},
                      {18, 2, 1, 10, 12, 0, 39},
                      {19, 3, 1, 10, 12, 4, 42},
                      {20, 2, 1, 11, 12, 0, 39},
                      {21, 3, 1, 11, 12, 4, 42},
                      {22, 2, 1, 12, 12, 0, 39},
                      {23, 3, 1, 12, 12, 4, 42},
                      {24, 5, 1, 12, 12, 4, 49}});
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
    EXPECT_EQ(standing(state()), Values({7, 4, 12, 52, 11, 52})); // protocol_mismatch
    EXPECT_EQ(state().recovery_event_count, 0u);
    EXPECT_EQ(incompatible.seen().discovery_requests, 1u);
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
    server.start_streaming(0.5f);
    EXPECT_TRUE(server_received(server, 1, 0.5f));
}

TEST_F(EngineRuntimeTest, RefusedOrUnloadableConfigurations) {
    EXPECT_FALSE(runtime.start_from_config(nullptr));
    EXPECT_FALSE(runtime.start_from_config(""));
    EXPECT_EQ(standing(state()), Values({0, 4, 0, 1, 1, 1})); // config_path_empty
    // No driver channel at all, or none left once each map is paired with its driver list.
    ConfigSpec no_drivers = configuration();
    no_drivers.driver_inputs = no_drivers.driver_outputs = "";
    ConfigSpec unpaired = configuration();
    unpaired.input_map = unpaired.driver_outputs = "";
    for (const ConfigSpec* config : std::vector<const ConfigSpec*>{&no_drivers, &unpaired, nullptr}) {
        EngineRuntime engine;
        ConfigFile file(config != nullptr ? *config : configuration());
        ASSERT_TRUE(engine.start_from_config(config != nullptr ? file.path().c_str() : "/nonexistent/a.ini"));
        ASSERT_TRUE(wait_for([&] { return engine.get_state().status == velmora_engine_status_failed; }));
        EXPECT_EQ(standing(engine.get_state()), Values({7, 4, 0, 5, 3, 5})); // config_load_failed
    }
    EXPECT_EQ(server.seen().discovery_requests, 0u);
    EXPECT_FALSE(block_exists(id));
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
    })) << ::testing::PrintToString(standing(state()));
    EXPECT_EQ(Values({state().status, state().health_message_key}),
              Values({velmora_engine_status_running, velmora_engine_message_device_lost}));
    ASSERT_TRUE(
        reaches([](const State& s) { return running_and_settled(s.status, s.health, s.health_reason); }));
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
    config.device_uid = device.uid;
    start(config);
    server.start_streaming();
    ASSERT_TRUE(reaches([](const State& s) {
        return s.status == velmora_engine_status_running && s.actual_sample_rate == 48000;
    })) << ::testing::PrintToString(standing(state()));

    // Unplugged: the device dies and leaves the device list, so no attempt can open it again.
    ASSERT_TRUE(Hal::remove_device(Hal::device_with_uid(device.uid)));
    ASSERT_TRUE(reaches([](const State& s) { return s.recovery_event_count >= 3; }));
    EXPECT_EQ(state().status, velmora_engine_status_recovering);
    ASSERT_TRUE(reaches_status(velmora_engine_status_failed, 30s));
    const State s = state();
    EXPECT_EQ(standing(s), Values({7, 4, 0, 23, 7, 23})); // runtime_retry_exhausted, error 7
    // Types: 1 requested, 2 attempt started, 3 attempt failed, 5 exhausted; reason 10 device lost.
    expect_events(s, {{1, 1, 10, 1, 3, 0, 38},
                      {2, 2, 10, 1, 3, 0, 41},
                      {3, 3, 10, 1, 3, 7, 44},
                      {4, 2, 10, 2, 3, 0, 41},
                      {5, 3, 10, 2, 3, 7, 44},
                      {6, 2, 10, 3, 3, 0, 41},
                      {7, 3, 10, 3, 3, 7, 44},
                      {8, 5, 10, 3, 3, 7, 51}});
    // One second apart, and the end one second after the third failure.
    for (const int i : {3, 5, 7}) {
        EXPECT_GE(s.recovery_events[i].tick_ms - s.recovery_events[i - 1].tick_ms, 950u) << i;
    }
    EXPECT_TRUE(wait_for([&] { return !block_exists(id); })) << "removed as the worker ends";
    runtime.stop(); // before the simulated device list is restored
}

// Crafted telemetry against a runtime put into `running` by hand: one verdict per telemetry
// period, the first rule that applies. Keys: 11 running, 22 resyncing, 29 device lost, 30 rate and
// 31 buffer size mismatch, 32 callback stopped, 33 output not ready, 34 input dropped, 35 output
// dropped, 36 overrun, 37 underrun.
TEST(EngineRuntimeHealth, RulesApplyInTheirOrder) {
    EngineRuntime runtime;
    runtime.set_status(velmora_engine_status_running);
    AsioPlayer::Telemetry t;
    t.callbacks_per_sec = 375;
    t.callback_count = 1000;
    t.requested_sample_rate = t.actual_sample_rate = 48000;
    t.requested_block_frames = t.actual_block_frames = 128;
    // The health message keys of the next `periods` verdicts.
    const auto keys = [&](int periods) {
        Values out;
        for (int i = 0; i < periods; ++i) {
            runtime.evaluate_asio_health(t);
            out.push_back(runtime.get_state().health_message_key);
        }
        return out;
    };
    const auto health = [&] {
        return Values({runtime.get_state().health, runtime.get_state().health_reason});
    };
    EXPECT_EQ(keys(1), Values({11}));
    EXPECT_EQ(health(), Values({velmora_engine_health_healthy, velmora_engine_reason_none}));

    // Everything changes in one period: the counters are reported one period each, in rule order.
    t.output_not_ready_count = t.capture_dropped_count = t.playback_dropped_count = t.overrun_count = 1;
    t.underrun_count = 1;
    EXPECT_EQ(keys(5), Values({33, 34, 35, 36, 37}));
    EXPECT_EQ(health(), Values({velmora_engine_health_degraded, velmora_engine_reason_playback_underrun}));
    EXPECT_EQ(keys(1), Values({11}));

    // A format mismatch comes before the counters; the actual format is always recorded.
    t.underrun_count = 3;
    t.actual_sample_rate = 44100;
    EXPECT_EQ(keys(1), Values({30}));
    EXPECT_EQ(runtime.get_state().actual_sample_rate, 44100u);
    t.actual_sample_rate = 48000;
    t.actual_block_frames = 256;
    EXPECT_EQ(keys(1), Values({31}));
    EXPECT_EQ(health(), Values({velmora_engine_health_degraded, velmora_engine_reason_buffer_size_mismatch}));
    t.actual_block_frames = 128;
    t.format_mismatch_count = 1;
    EXPECT_EQ(keys(2), Values({31, 37}));

    // A lost device; not in hardware mode (never started), so no recovery is requested.
    t.device_lost = true;
    t.underrun_count = 4;
    EXPECT_EQ(keys(1), Values({29}));
    EXPECT_EQ(runtime.get_state().recovery_event_count, 0u);
    t.device_lost = false;

    // One stalled period is only counted (the next rule decides); two are a stopped callback. A
    // period with callbacks restarts the count; before the first callback ever, no stall.
    t.callbacks_per_sec = 0;
    t.underrun_count = 5;
    EXPECT_EQ(keys(2), Values({37, 32}));
    t.callbacks_per_sec = 375;
    EXPECT_EQ(keys(1), Values({11}));
    t.callbacks_per_sec = 0;
    t.callback_count = 0;
    EXPECT_EQ(keys(2), Values({11, 11}));

    // Only while running.
    runtime.set_status(velmora_engine_status_recovering);
    runtime.set_health(velmora_engine_health_recovering, velmora_engine_reason_resyncing,
                       velmora_engine_message_resyncing_format);
    t.underrun_count = 9;
    EXPECT_EQ(keys(1), Values({22}));
}

TEST(EngineRuntimeRecord, ChannelLevelsFollowTheMapsUpToThirtyTwo) {
    EngineRuntime runtime;
    runtime.set_channel_level_maps({4, 5, 6}, std::vector<std::int64_t>(40, 9));
    AsioPlayer::Telemetry t;
    t.input_level_count = 2; // fewer metered than configured: the rest read 0
    t.input_peak_milli[0] = 1000;
    t.input_peak_milli[2] = 999;
    runtime.update_channel_levels(t);
    const State s = runtime.get_state();
    EXPECT_EQ(Values({s.input_level_count, s.output_level_count, s.input_levels[0].peak_milli,
                      s.input_levels[2].driver_channel, s.input_levels[2].peak_milli}),
              Values({3, 32, 1000, 6, 0}));
}

} // namespace
