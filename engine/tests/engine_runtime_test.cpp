// The runtime's state machine against a scripted server on 127.0.0.1 that speaks the real wire
// protocol, with the virtual loopback device or a simulated hardware device.
#include "runtime_test_support.h"

#include <velmora/engine/engine_runtime.h>
#include <velmora/platform/clocks.h>
#include <velmora_compat/hal_control.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace VelmoraRuntimeTest;

struct ExpectedEvent {
    std::uint64_t sequence;
    unsigned type;
    unsigned reason;
    unsigned attempt;
    unsigned max_attempts;
    unsigned error;
    unsigned key;
};

void expect_events(const VelmoraEngineState& state, const std::vector<ExpectedEvent>& expected) {
    ASSERT_EQ(state.recovery_event_count, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const VelmoraEngineRecoveryEvent& e = state.recovery_events[i];
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(e.sequence, expected[i].sequence);
        EXPECT_EQ(e.type, expected[i].type);
        EXPECT_EQ(e.reason, expected[i].reason);
        EXPECT_EQ(e.attempt, expected[i].attempt);
        EXPECT_EQ(e.max_attempts, expected[i].max_attempts);
        EXPECT_EQ(e.error_code, expected[i].error);
        EXPECT_EQ(e.message_key, expected[i].key);
    }
    for (std::size_t i = expected.size(); i < 8; ++i) {
        EXPECT_EQ(state.recovery_events[i].sequence, 0u) << "unused slots are zero";
    }
}

// For failure messages: the fields that tell where the engine stands.
std::string describe(const VelmoraEngineState& s) {
    return "status " + std::to_string(s.status) + ", health " + std::to_string(s.health) + "/" +
           std::to_string(s.health_reason) + " key " + std::to_string(s.health_message_key) + ", error " +
           std::to_string(s.last_error_code) + " key " + std::to_string(s.last_error_key) + ", events " +
           std::to_string(s.recovery_event_count) + ", actual " + std::to_string(s.actual_sample_rate) + "/" +
           std::to_string(s.actual_block_frames);
}

bool status_is(const EngineRuntime& runtime, unsigned status) { return runtime.get_state().status == status; }

TEST(EngineRuntime, StateBeforeAnyStart) {
    EngineRuntime runtime;
    const VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.abi_version, 5u);
    EXPECT_EQ(state.status, velmora_engine_status_idle);
    EXPECT_EQ(state.health, velmora_engine_health_inactive);
    EXPECT_EQ(state.recovery_event_capacity, 8u);
    EXPECT_EQ(state.recovery_event_count, 0u);
    EXPECT_EQ(state.next_recovery_sequence, 1u);
    EXPECT_EQ(state.input_level_count, 0u);
    EXPECT_EQ(state.output_level_count, 0u);
}

TEST(EngineRuntime, StartsWaitsForTheFirstSyncRunsAndStops) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));

    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_waiting_sync); }));
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.health, velmora_engine_health_recovering);
    EXPECT_EQ(state.health_reason, velmora_engine_reason_waiting_sync);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_waiting_first_sync);
    EXPECT_EQ(state.client_id, id);
    EXPECT_EQ(state.input_level_count, 2u);
    EXPECT_EQ(state.input_levels[1].driver_channel, 3u);
    EXPECT_EQ(state.output_levels[0].driver_channel, 0u);
    {
        BlockReader block(engine_shared_stats_name(id));
        ASSERT_NE(block.bytes(), nullptr);
        EXPECT_EQ(block.mode(), 0600u);
        EXPECT_EQ(block.stats().status, velmora_engine_status_waiting_sync);
        EXPECT_EQ(block.stats().client_id, id);
    }

    server.start_streaming();
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_running); }));
    // Healthy once a full telemetry period passes without a counter change.
    ASSERT_TRUE(eventually([&] { return runtime.get_state().health == velmora_engine_health_healthy; }));
    state = runtime.get_state();
    EXPECT_EQ(state.sample_rate, 48000u);
    EXPECT_EQ(state.block_frames, 128u);
    EXPECT_EQ(state.actual_sample_rate, 48000u);
    EXPECT_EQ(state.actual_block_frames, 128u);
    EXPECT_EQ(state.last_error_code, 0u);
    EXPECT_EQ(state.recovery_event_count, 0u);

    // The loopback plays the server's blocks back as captured input; the server receives them.
    ASSERT_TRUE(eventually([&] {
        for (const auto& block : server.server().input_blocks()) {
            if (block.channel_count == 2 && std::fabs(block.samples[block.samples.size() / 2] - 0.25f) < 1e-3f) {
                return true;
            }
        }
        return false;
    }));
    ASSERT_TRUE(eventually([&] { return runtime.get_state().output_levels[0].peak_milli == 250; }));
    {
        BlockReader block(engine_shared_stats_name(id));
        ASSERT_NE(block.bytes(), nullptr);
        EXPECT_EQ(block.stats().status, velmora_engine_status_running);
        EXPECT_EQ(block.stats().sample_rate, 48000u);
        EXPECT_EQ(block.stats().block_frames, 128u);
        EXPECT_TRUE(eventually([&] { return block.stats().asio_callbacks_per_sec > 100; }));
    }

    runtime.stop();
    state = runtime.get_state();
    EXPECT_EQ(state.status, velmora_engine_status_stopped);
    EXPECT_EQ(state.health, velmora_engine_health_inactive);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_stopped);
    EXPECT_FALSE(block_exists(id));
}

TEST(EngineRuntime, FormatChangeFromTheServerResyncsWithoutARecoveryEvent) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_running); }));

    server.set_format(44100, 128);
    ASSERT_TRUE(eventually([&] {
        const VelmoraEngineState s = runtime.get_state();
        return s.status == velmora_engine_status_running && s.sample_rate == 44100;
    }));
    ASSERT_TRUE(eventually([&] { return runtime.get_state().health == velmora_engine_health_healthy; }));
    const VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.actual_sample_rate, 44100u);
    EXPECT_EQ(state.recovery_event_count, 0u);
    EXPECT_EQ(state.last_error_code, 0u);
    BlockReader block(engine_shared_stats_name(id));
    ASSERT_NE(block.bytes(), nullptr);
    EXPECT_EQ(block.stats().sample_rate, 44100u);
    runtime.stop();
}

TEST(EngineRuntime, TwelveFailedNetworkAttemptsRecordTwentyFourEvents) {
    const std::uint32_t id = unique_client_id();
    velmora_test::FakeVelmoraServer silent(velmora_test::silent_server());
    ConfigSpec spec = spec_for(id, silent.port());
    spec.discovery_timeout_ms = 1;
    ConfigFile config(spec);
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    ASSERT_TRUE(eventually([&] { return runtime.get_state().recovery_event_count >= 3; }));
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.status, velmora_engine_status_starting);
    EXPECT_EQ(state.last_error_code, velmora_engine_error_network_start_failed);

    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_failed); }, 40s));
    state = runtime.get_state();
    EXPECT_EQ(state.last_error_code, velmora_engine_error_network_start_failed);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_network_retry_exhausted);
    EXPECT_EQ(state.health, velmora_engine_health_failed);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_network_retry_exhausted);
    EXPECT_EQ(state.next_recovery_sequence, 25u);
    constexpr unsigned W = velmora_engine_reason_waiting_sync;
    expect_events(state, {
                             {17, velmora_engine_event_attempt_failed, W, 9, 12, 4, 42},
                             {18, velmora_engine_event_attempt_started, W, 10, 12, 0, 39},
                             {19, velmora_engine_event_attempt_failed, W, 10, 12, 4, 42},
                             {20, velmora_engine_event_attempt_started, W, 11, 12, 0, 39},
                             {21, velmora_engine_event_attempt_failed, W, 11, 12, 4, 42},
                             {22, velmora_engine_event_attempt_started, W, 12, 12, 0, 39},
                             {23, velmora_engine_event_attempt_failed, W, 12, 12, 4, 42},
                             {24, velmora_engine_event_exhausted, W, 12, 12, 4, 49},
                         });
    // Eleven one-second waits between the twelve attempts.
    EXPECT_GE(state.recovery_events[7].tick_ms - state.recovery_events[0].tick_ms, 2900u);
    EXPECT_FALSE(block_exists(id));
    EXPECT_GE(silent.discovery_requests(), 12u);
    runtime.stop();
    EXPECT_EQ(runtime.get_state().status, velmora_engine_status_failed) << "a failed status is kept";
}

TEST(EngineRuntime, IncompatibleServerFailsAtOnce) {
    const std::uint32_t id = unique_client_id();
    velmora_test::FakeServerOptions options;
    options.mutate_discovery_answer = [](std::vector<char>& answer) { answer[32] = 4; };  // protocol version
    velmora_test::FakeVelmoraServer server(options);
    ConfigFile config(spec_for(id, server.port()));
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_failed); }));
    const VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.last_error_code, velmora_engine_error_protocol_mismatch);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_protocol_mismatch);
    EXPECT_EQ(state.health, velmora_engine_health_failed);
    EXPECT_EQ(state.health_reason, velmora_engine_reason_protocol_mismatch);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_protocol_mismatch);
    EXPECT_EQ(state.recovery_event_count, 0u);
    EXPECT_EQ(server.discovery_requests(), 1u);
    runtime.stop();
}

TEST(EngineRuntime, StopBeforeTheFirstSync) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_waiting_sync); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(runtime.get_state().status, velmora_engine_status_waiting_sync) << "no time limit on the first sync";
    runtime.stop();
    const VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.status, velmora_engine_status_stopped);
    EXPECT_EQ(state.last_error_code, velmora_engine_error_sync_not_received);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_stopped_before_sync);
    EXPECT_EQ(state.health, velmora_engine_health_failed);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_stopped_before_sync);
    EXPECT_FALSE(block_exists(id));
}

TEST(EngineRuntime, RefusedStartsTouchOnlyTheStateRecord) {
    EngineRuntime runtime;
    EXPECT_FALSE(runtime.start_from_config(nullptr));
    EXPECT_FALSE(runtime.start_from_config(""));
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.status, velmora_engine_status_idle);
    EXPECT_EQ(state.health, velmora_engine_health_failed);
    EXPECT_EQ(state.last_error_code, velmora_engine_error_config_path_empty);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_config_path_empty);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_config_path_empty);

    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_running); }));
    BlockReader block(engine_shared_stats_name(id));
    ASSERT_NE(block.bytes(), nullptr);

    EXPECT_FALSE(runtime.start_from_config(config.path().c_str()));
    state = runtime.get_state();
    EXPECT_EQ(state.last_error_code, velmora_engine_error_already_running);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_already_running);
    EXPECT_EQ(state.status, velmora_engine_status_running);
    EXPECT_EQ(block.stats().last_error_code, 0u) << "the statistics block belongs to the worker";
    EXPECT_EQ(block.stats().status, velmora_engine_status_running);

    runtime.stop();
    // After stop has joined the worker, a new start is accepted and clears the record.
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_running); }));
    EXPECT_EQ(runtime.get_state().last_error_code, 0u);
    runtime.stop();
}

TEST(EngineRuntime, ChannelListsArePairedByPosition) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    // Two driver inputs but one captured channel; three driver outputs but two played channels.
    ConfigSpec spec = spec_for(id, server.port());
    spec.driver_inputs = "2, 3";
    spec.driver_outputs = "0, 1, 4";
    spec.input_map = "0";
    spec.output_map = "0, 1";
    ConfigFile config(spec);
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    ASSERT_TRUE(eventually([&] { return server.server().has_client(); }));
    EXPECT_EQ(server.server().announced_inputs(), (std::vector<std::int64_t>{2}));
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.input_level_count, 1u);
    EXPECT_EQ(state.output_level_count, 2u);

    // The single captured channel reaches the server: its input blocks are not silently ignored.
    server.start_streaming(2, 0.5f);
    ASSERT_TRUE(eventually([&] {
        for (const auto& block : server.server().input_blocks()) {
            if (block.channel_count == 1 && std::fabs(block.samples[block.samples.size() / 2] - 0.5f) < 1e-3f) {
                return true;
            }
        }
        return false;
    }));
    runtime.stop();
}

TEST(EngineRuntime, NoDriverChannelInEitherDirectionFailsToLoad) {
    const std::uint32_t id = unique_client_id();
    velmora_test::FakeVelmoraServer server;
    ConfigSpec no_drivers = spec_for(id, server.port());
    no_drivers.driver_inputs = "";
    no_drivers.driver_outputs = "";
    // Maps that pair with nothing leave no channel either.
    ConfigSpec no_maps = spec_for(id, server.port());
    no_maps.input_map = "";
    no_maps.output_map = "";
    for (const ConfigSpec& spec : {no_drivers, no_maps}) {
        ConfigFile config(spec);
        EngineRuntime runtime;
        ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
        ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_failed); }));
        const VelmoraEngineState state = runtime.get_state();
        EXPECT_EQ(state.last_error_code, velmora_engine_error_config_load_failed);
        EXPECT_EQ(state.last_error_key, velmora_engine_message_config_load_failed);
        EXPECT_EQ(state.health_message_key, velmora_engine_message_config_load_failed);
        runtime.stop();
    }
    EXPECT_EQ(server.discovery_requests(), 0u);
    EXPECT_FALSE(block_exists(id));
}

TEST(EngineRuntime, UnreadableConfigurationFails) {
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config("/nonexistent/velmora.ini"));
    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_failed); }));
    EXPECT_EQ(runtime.get_state().last_error_code, velmora_engine_error_config_load_failed);
    runtime.stop();
}

TEST(EngineRuntime, SilentServerShowsSyncTimeoutThenHealthyAgain) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    ASSERT_TRUE(eventually([&] { return runtime.get_state().health == velmora_engine_health_healthy; }));

    // A last-sync time later than the "now" a caller read earlier is an age of 0, not a wrapped one.
    EXPECT_FALSE(runtime.is_sync_timed_out(0));
    EXPECT_TRUE(runtime.is_sync_timed_out(VelmoraPlatform::monotonic_milliseconds() + 3001));

    server.pause(true);
    ASSERT_TRUE(eventually([&] {
        const VelmoraEngineState s = runtime.get_state();
        return s.health == velmora_engine_health_recovering && s.health_message_key == velmora_engine_message_sync_timed_out;
    }));
    EXPECT_EQ(runtime.get_state().health_reason, velmora_engine_reason_waiting_sync);
    EXPECT_EQ(runtime.get_state().status, velmora_engine_status_running);

    server.pause(false);
    ASSERT_TRUE(eventually([&] { return runtime.get_state().health == velmora_engine_health_healthy; }));
    EXPECT_EQ(runtime.get_state().recovery_event_count, 0u);
    runtime.stop();
}

TEST(EngineRuntime, DeviceLossInLoopbackModeOnlyDegrades) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigSpec spec = spec_for(id, server.port());
    spec.extra_test_lines = "loopback_device_lost_after_ms = 1500\nloopback_device_lost_duration_ms = 3000\n";
    ConfigFile config(spec);
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    ASSERT_TRUE(eventually([&] {
        const VelmoraEngineState s = runtime.get_state();
        return s.health == velmora_engine_health_degraded && s.health_reason == velmora_engine_reason_device_lost;
    }));
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.health_message_key, velmora_engine_message_device_lost);
    EXPECT_EQ(state.status, velmora_engine_status_running);
    ASSERT_TRUE(eventually([&] { return runtime.get_state().health == velmora_engine_health_healthy; }));
    state = runtime.get_state();
    EXPECT_EQ(state.status, velmora_engine_status_running);
    EXPECT_EQ(state.recovery_event_count, 0u) << "no recovery in loopback mode";
    runtime.stop();
}

// A simulated hardware device of the HAL stand-in, replaced for the test's duration.
class SimulatedHardware {
public:
    explicit SimulatedHardware(const std::string& uid) {
        VelmoraCompat::Hal::DeviceDescription device;
        device.uid = uid;
        device.name = "Runtime Test Interface";
        device.input_streams = {VelmoraCompat::Hal::StreamDescription{2}};
        device.output_streams = {VelmoraCompat::Hal::StreamDescription{2}};
        device.input.kind = VelmoraCompat::Hal::InputKind::loopback;
        VelmoraCompat::Hal::reset({device});
        id_ = VelmoraCompat::Hal::device_with_uid(uid);
    }
    ~SimulatedHardware() { VelmoraCompat::Hal::reset_to_defaults(); }
    AudioObjectID id() const { return id_; }

private:
    AudioObjectID id_ = 0;
};

TEST(EngineRuntime, HardwareDeviceThatDiesAndCannotBeReopenedExhaustsRecovery) {
    const std::uint32_t id = unique_client_id();
    const std::string uid = "RuntimeTestInterface" + std::to_string(id);
    SimulatedHardware hardware(uid);
    ASSERT_NE(hardware.id(), 0u);
    StreamingServer server(id);
    ConfigSpec spec = spec_for(id, server.port());
    spec.loopback = false;
    spec.device_uid = uid;
    ConfigFile config(spec);
    EngineRuntime runtime;
    ASSERT_TRUE(runtime.start_from_config(config.path().c_str()));
    server.start_streaming();
    // Running, with player telemetry showing the device's format.
    ASSERT_TRUE(eventually([&] {
        const VelmoraEngineState s = runtime.get_state();
        return s.status == velmora_engine_status_running && s.actual_sample_rate == 48000;
    })) << describe(runtime.get_state());
    EXPECT_EQ(runtime.get_state().actual_block_frames, 128u);

    // Unplugged: the device dies and leaves the device list, so no attempt can open it again.
    ASSERT_TRUE(VelmoraCompat::Hal::remove_device(hardware.id()));
    ASSERT_TRUE(eventually([&] { return runtime.get_state().recovery_event_count >= 3; }));
    EXPECT_EQ(runtime.get_state().status, velmora_engine_status_recovering);
    EXPECT_EQ(runtime.get_state().health_reason, velmora_engine_reason_device_lost);

    ASSERT_TRUE(eventually([&] { return status_is(runtime, velmora_engine_status_failed); }, 20s));
    const VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.last_error_code, velmora_engine_error_audio_start_failed);
    EXPECT_EQ(state.last_error_key, velmora_engine_message_runtime_retry_exhausted);
    EXPECT_EQ(state.health, velmora_engine_health_failed);
    EXPECT_EQ(state.health_message_key, velmora_engine_message_runtime_retry_exhausted);
    constexpr unsigned L = velmora_engine_reason_device_lost;
    expect_events(state, {
                             {1, velmora_engine_event_requested, L, 1, 3, 0, 38},
                             {2, velmora_engine_event_attempt_started, L, 1, 3, 0, 41},
                             {3, velmora_engine_event_attempt_failed, L, 1, 3, 7, 44},
                             {4, velmora_engine_event_attempt_started, L, 2, 3, 0, 41},
                             {5, velmora_engine_event_attempt_failed, L, 2, 3, 7, 44},
                             {6, velmora_engine_event_attempt_started, L, 3, 3, 0, 41},
                             {7, velmora_engine_event_attempt_failed, L, 3, 3, 7, 44},
                             {8, velmora_engine_event_exhausted, L, 3, 3, 7, 51},
                         });
    // One second apart, and the end one second after the third failure.
    EXPECT_GE(state.recovery_events[3].tick_ms - state.recovery_events[2].tick_ms, 950u);
    EXPECT_GE(state.recovery_events[5].tick_ms - state.recovery_events[4].tick_ms, 950u);
    EXPECT_GE(state.recovery_events[7].tick_ms - state.recovery_events[6].tick_ms, 950u);
    EXPECT_LT(state.recovery_events[7].tick_ms - state.recovery_events[6].tick_ms, 3000u);
    EXPECT_FALSE(eventually([&] { return block_exists(id); }, 200ms));
    runtime.stop();
}

// Crafted telemetry against a runtime put into `running` by hand.
class HealthRules : public ::testing::Test {
protected:
    HealthRules() { runtime.set_status(velmora_engine_status_running); }

    AsioPlayer::Telemetry healthy() const {
        AsioPlayer::Telemetry t;
        t.callbacks_per_sec = 375;
        t.callback_count = 1000;
        t.requested_sample_rate = 48000;
        t.actual_sample_rate = 48000;
        t.requested_block_frames = 128;
        t.actual_block_frames = 128;
        return t;
    }
    void expect(unsigned health, unsigned reason, unsigned key) const {
        const VelmoraEngineState s = runtime.get_state();
        EXPECT_EQ(s.health, health);
        EXPECT_EQ(s.health_reason, reason);
        EXPECT_EQ(s.health_message_key, key);
    }

    EngineRuntime runtime;
};

TEST_F(HealthRules, CountersAreReportedOneAtATimeInTheirOrder) {
    AsioPlayer::Telemetry t = healthy();
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);

    // Everything changes in one period: one verdict per period, in rule order.
    t.output_not_ready_count = 1;
    t.capture_dropped_count = 1;
    t.playback_dropped_count = 1;
    t.overrun_count = 1;
    t.underrun_count = 1;
    const unsigned order[][2] = {
        {velmora_engine_reason_output_ready_failed, velmora_engine_message_output_ready_failed},
        {velmora_engine_reason_input_capture_dropped, velmora_engine_message_input_dropped},
        {velmora_engine_reason_output_block_dropped, velmora_engine_message_output_dropped},
        {velmora_engine_reason_playback_overrun, velmora_engine_message_playback_overrun},
        {velmora_engine_reason_playback_underrun, velmora_engine_message_playback_underrun},
    };
    for (const auto& verdict : order) {
        runtime.evaluate_asio_health(t);
        expect(velmora_engine_health_degraded, verdict[0], verdict[1]);
    }
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);
}

TEST_F(HealthRules, FormatMismatchComesBeforeCounters) {
    AsioPlayer::Telemetry t = healthy();
    t.underrun_count = 3;
    t.actual_sample_rate = 44100;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_sample_rate_mismatch,
           velmora_engine_message_sample_rate_mismatch);
    EXPECT_EQ(runtime.get_state().actual_sample_rate, 44100u) << "the actual format is always recorded";

    t.actual_sample_rate = 48000;
    t.actual_block_frames = 256;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_buffer_size_mismatch,
           velmora_engine_message_buffer_size_mismatch);

    t.actual_block_frames = 128;
    t.format_mismatch_count = 1;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_buffer_size_mismatch,
           velmora_engine_message_buffer_size_mismatch);
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_playback_underrun,
           velmora_engine_message_playback_underrun);
}

TEST_F(HealthRules, DeviceLossAndStalledCallbacks) {
    AsioPlayer::Telemetry t = healthy();
    t.device_lost = true;
    t.underrun_count = 1;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_device_lost, velmora_engine_message_device_lost);
    // Not in hardware mode (never started): no recovery is requested.
    EXPECT_EQ(runtime.get_state().recovery_event_count, 0u);

    t = healthy();
    t.callbacks_per_sec = 0;
    t.underrun_count = 2;
    runtime.evaluate_asio_health(t);  // one stalled period: only counted, the next rule decides
    expect(velmora_engine_health_degraded, velmora_engine_reason_playback_underrun,
           velmora_engine_message_playback_underrun);
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_degraded, velmora_engine_reason_asio_callback_stopped,
           velmora_engine_message_callback_stopped);

    t.callbacks_per_sec = 375;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);
    // A period with callbacks restarts the count.
    t.callbacks_per_sec = 0;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);

    // Before the first callback ever, an empty period is no stall.
    t.callback_count = 0;
    runtime.evaluate_asio_health(t);
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_healthy, velmora_engine_reason_none, velmora_engine_message_running);
}

TEST_F(HealthRules, OnlyWhileRunning) {
    runtime.set_status(velmora_engine_status_recovering);
    runtime.set_health(velmora_engine_health_recovering, velmora_engine_reason_resyncing,
                       velmora_engine_message_resyncing_format);
    AsioPlayer::Telemetry t = healthy();
    t.underrun_count = 9;
    t.actual_sample_rate = 44100;
    t.input_level_count = 2;
    runtime.evaluate_asio_health(t);
    expect(velmora_engine_health_recovering, velmora_engine_reason_resyncing, velmora_engine_message_resyncing_format);
    EXPECT_EQ(runtime.get_state().actual_sample_rate, 44100u);
}

TEST(EngineRuntimeRecord, EventRingKeepsTheLastEightOldestFirst) {
    EngineRuntime runtime;
    for (unsigned i = 1; i <= 23; ++i) {
        runtime.record_recovery_event_with_limit(velmora_engine_event_attempt_failed, velmora_engine_reason_waiting_sync,
                                                 i, 12, velmora_engine_error_network_start_failed,
                                                 velmora_engine_message_recovery_detail_network_failed_retry);
        const VelmoraEngineState state = runtime.get_state();
        ASSERT_EQ(state.recovery_event_count, std::min(i, 8u));
        ASSERT_EQ(state.recovery_events[0].sequence, i <= 8 ? 1u : i - 7);
        ASSERT_EQ(state.recovery_events[state.recovery_event_count - 1].sequence, i);
    }
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.next_recovery_sequence, 24u);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(state.recovery_events[i].sequence, 16u + i);
        EXPECT_EQ(state.recovery_events[i].attempt, 16u + i);
    }
    runtime.record_recovery_event(velmora_engine_event_requested, velmora_engine_reason_device_lost, 1,
                                  velmora_engine_error_none, velmora_engine_message_recovery_detail_requested);
    EXPECT_EQ(runtime.get_state().recovery_events[7].max_attempts, 3u);
    runtime.reset_recovery_events();
    state = runtime.get_state();
    EXPECT_EQ(state.recovery_event_count, 0u);
    EXPECT_EQ(state.next_recovery_sequence, 1u);
    EXPECT_EQ(state.recovery_events[0].sequence, 0u);
}

TEST(EngineRuntimeRecord, ChannelLevels) {
    EngineRuntime runtime;
    std::vector<std::int64_t> many(40);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<std::int64_t>(i % 32);
    }
    runtime.set_channel_level_maps({4, 5, 6}, many);
    VelmoraEngineState state = runtime.get_state();
    EXPECT_EQ(state.input_level_count, 3u);
    EXPECT_EQ(state.output_level_count, 32u);
    EXPECT_EQ(state.input_levels[2].driver_channel, 6u);

    AsioPlayer::Telemetry t;
    t.input_level_count = 2;  // fewer metered than configured: the rest read 0
    t.input_peak_milli[0] = 100;
    t.input_peak_milli[1] = 1000;
    t.input_peak_milli[2] = 999;
    t.output_level_count = 32;
    t.output_peak_milli[31] = 7;
    runtime.update_channel_levels(t);
    state = runtime.get_state();
    EXPECT_EQ(state.input_levels[0].peak_milli, 100u);
    EXPECT_EQ(state.input_levels[1].peak_milli, 1000u);
    EXPECT_EQ(state.input_levels[2].peak_milli, 0u);
    EXPECT_EQ(state.output_levels[31].peak_milli, 7u);
    EXPECT_EQ(state.input_levels[2].driver_channel, 6u);
}

TEST(EngineRuntimeRecord, SyncTimeoutAndRetryDelay) {
    EngineRuntime runtime;
    EXPECT_FALSE(runtime.is_sync_timed_out(1000000)) << "no sync seen yet";
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(runtime.wait_for_retry_delay(120));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
}

} // namespace
