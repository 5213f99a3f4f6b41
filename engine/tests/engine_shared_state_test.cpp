#include "runtime_test_support.h"

#include <velmora/engine/engine_shared_state.h>
#include <velmora/engine/velmora_engine.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" unsigned velmora_engine_state_size_from_c(void);

namespace {

using VelmoraRuntimeTest::BlockReader;
using VelmoraRuntimeTest::unique_client_id;

// Leaves an object of the given size and contents behind, as a crashed engine would.
void create_leftover(const std::string& name, std::size_t size, unsigned char fill, mode_t mode) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT, mode);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    std::vector<unsigned char> bytes(size, fill);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

TEST(EngineSharedState, StateRecordHasTheSameLayoutInC) { EXPECT_EQ(velmora_engine_state_size_from_c(), 904u); }

TEST(EngineSharedState, CreatesA288ByteBlockWithHeaderAndClientId) {
    const std::uint32_t id = unique_client_id();
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    EXPECT_EQ(state.name(), "/VelmoraEngineStats_" + std::to_string(id) + "_v6");

    BlockReader reader(state.name());
    ASSERT_TRUE(reader.exists());
    EXPECT_EQ(reader.size(), 288u);
    EXPECT_EQ(reader.mode(), 0600u);
    ASSERT_NE(reader.bytes(), nullptr);
    EXPECT_EQ(std::memcmp(reader.bytes(), "VENG", 4), 0);
    EXPECT_EQ(reader.stats().version, 6u);
    EXPECT_EQ(reader.stats().client_id, id);
    EXPECT_EQ(reader.stats().status, 0u);
    for (std::size_t i = 20; i < 288; ++i) {
        ASSERT_EQ(reader.bytes()[i], 0) << "byte " << i;
    }
    // A second initialize keeps the mapping.
    EXPECT_TRUE(state.initialize(id));
}

TEST(EngineSharedState, ClientId42NamesItsBlockAfterIt) {
    EXPECT_EQ(engine_shared_stats_name(42), "/VelmoraEngineStats_42_v6");
    EXPECT_EQ(engine_shared_stats_name(4294967295u), "/VelmoraEngineStats_4294967295_v6");
}

TEST(EngineSharedState, ShutdownRemovesTheBlockAndReadersKeepTheirView) {
    const std::uint32_t id = unique_client_id();
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    const std::string name = state.name();
    state.set_status(velmora_engine_status_running);
    BlockReader early(name);
    state.shutdown();

    EXPECT_EQ(::shm_open(name.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_NE(early.bytes(), nullptr);
    EXPECT_EQ(early.stats().status, 3u);
    EXPECT_FALSE(state.is_mapped());
    EXPECT_TRUE(state.name().empty());
    // Writes while closed are ignored; a second shutdown does nothing.
    state.set_status(7);
    state.shutdown();
}

TEST(EngineSharedState, SettersWriteTheirFieldsWithClamps) {
    const std::uint32_t id = unique_client_id();
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    BlockReader reader(state.name());
    ASSERT_NE(reader.bytes(), nullptr);

    state.set_status(4);
    state.set_last_error(4000000000u);
    state.set_format(44100, 65535);
    EXPECT_EQ(reader.stats().status, 4u);
    EXPECT_EQ(reader.stats().last_error_code, 2147483647u);
    EXPECT_EQ(reader.stats().sample_rate, 44100u);
    EXPECT_EQ(reader.stats().block_frames, 65535u);

    state.reset_stats(77);
    EXPECT_EQ(std::memcmp(reader.bytes(), "VENG", 4), 0);
    EXPECT_EQ(reader.stats().version, 6u);
    EXPECT_EQ(reader.stats().client_id, 77u);
    EXPECT_EQ(reader.stats().status, 0u);
    EXPECT_EQ(reader.stats().sample_rate, 0u);
}

TEST(EngineSharedState, ReplacesABlockLeftByACrashedEngine) {
    const std::uint32_t id = unique_client_id();
    const std::string name = engine_shared_stats_name(id);
    // Wrong size, garbage contents, wider permissions: everything about it must be replaced.
    create_leftover(name, 4096, 0xAB, 0644);

    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    BlockReader reader(name);
    EXPECT_EQ(reader.size(), 288u);
    EXPECT_EQ(reader.mode(), 0600u);
    ASSERT_NE(reader.bytes(), nullptr);
    EXPECT_EQ(reader.stats().client_id, id);
    EXPECT_EQ(reader.stats().status, 0u);
    EXPECT_EQ(reader.stats().asio_rendered_frames, 0u);
}

TEST(EngineSharedState, ShutdownLeavesABlockThatIsNoLongerItsOwn) {
    const std::uint32_t id = unique_client_id();
    EngineSharedState first;
    ASSERT_TRUE(first.initialize(id));
    // Another writer for the same id (only possible without the host's instance lock) replaces it.
    EngineSharedState second;
    ASSERT_TRUE(second.initialize(id));
    first.shutdown();
    BlockReader reader(engine_shared_stats_name(id));
    EXPECT_TRUE(reader.exists());
    second.shutdown();
    EXPECT_FALSE(BlockReader(engine_shared_stats_name(id)).exists());
}

TEST(EngineSharedState, RefusesABlockOwnedByAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    const std::uint32_t id = unique_client_id();
    const std::string name = engine_shared_stats_name(id);
    create_leftover(name, 288, 0x5A, 0666);

    // The engine runs as an unprivileged user who cannot remove root's object.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        EngineSharedState state;
        ::_exit(state.initialize(id) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "initialize must fail on a foreign block";

    BlockReader reader(name);
    ASSERT_NE(reader.bytes(), nullptr);
    EXPECT_EQ(reader.bytes()[0], 0x5A);
    ::shm_unlink(name.c_str());
}

TEST(EngineSharedState, PublishesNetworkTelemetryIntoItsFields) {
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(unique_client_id()));
    BlockReader reader(state.name());
    ASSERT_NE(reader.bytes(), nullptr);

    VelmoraClient::Telemetry t;
    t.received_blocks_per_second = 375;
    t.duplicate_blocks_per_second = 2;
    t.probe_responses = 5000000000ull;
    t.probe_timeouts = 4294967296ull + 3;  // narrowing first would give 3
    t.rtt_last_us = 180;
    t.rtt_min_us = 90;
    t.rtt_max_us = 4000000000u;
    t.rtt_p50_us = 150;
    t.rtt_p95_us = 170;
    t.rtt_p99_us = 179;
    t.clock_offset_valid = 1;
    t.clock_offset_rtt_us = 91;
    for (std::size_t i = 0; i < 10; ++i) {
        t.rtt_histogram[i] = 100 + i;
        t.sync_age_histogram[i] = 200 + i;
    }
    t.sync_age_samples = 12345;
    t.sync_age_last_us = 11;
    t.sync_age_min_us = 12;
    t.sync_age_max_us = 13;
    t.sync_age_p50_us = 14;
    t.sync_age_p95_us = 15;
    t.sync_age_p99_us = 16;
    t.output_recv_to_append_last_us = 17;
    t.output_recv_to_append_max_us = 18;
    state.publish_net_stats(t);

    const EngineSharedStats& s = reader.stats();
    EXPECT_EQ(s.net_recv_blocks_per_sec, 375u);
    EXPECT_EQ(s.net_duplicate_blocks_per_sec, 2u);
    EXPECT_EQ(s.net_time_probe_response_count, 2147483647u);
    EXPECT_EQ(s.net_time_probe_timeout_count, 2147483647u);
    EXPECT_EQ(s.net_time_probe_last_rtt_microseconds, 180u);
    EXPECT_EQ(s.net_time_probe_min_rtt_microseconds, 90u);
    EXPECT_EQ(s.net_time_probe_max_rtt_microseconds, 2147483647u);
    EXPECT_EQ(s.net_time_probe_p99_rtt_microseconds, 179u);
    EXPECT_EQ(s.net_time_probe_offset_valid, 1u);
    EXPECT_EQ(s.net_time_probe_offset_rtt_microseconds, 91u);
    // Byte offsets as the control app reads them.
    const auto word_at = [&](std::size_t offset) {
        std::uint32_t value = 0;
        std::memcpy(&value, reader.bytes() + offset, 4);
        return value;
    };
    EXPECT_EQ(word_at(76), 100u);
    EXPECT_EQ(word_at(112), 109u);
    EXPECT_EQ(word_at(116), 12345u);
    EXPECT_EQ(word_at(140), 16u);
    EXPECT_EQ(word_at(144), 200u);
    EXPECT_EQ(word_at(180), 209u);
    EXPECT_EQ(word_at(252), 17u);
    EXPECT_EQ(word_at(256), 18u);
}

TEST(EngineSharedState, PublishesPlayerTelemetryIntoItsFields) {
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(unique_client_id()));
    BlockReader reader(state.name());
    ASSERT_NE(reader.bytes(), nullptr);

    AsioPlayer::Telemetry t;
    t.recv_blocks_per_sec = 375;
    t.callbacks_per_sec = 376;
    t.dequeued_blocks_per_sec = 374;
    t.rendered_frames = 18446744073709551615ull;
    t.pll_ratio = 1.0000125;
    t.queue_depth_frames = 768;
    t.queue_min_frames = 640;
    t.queue_max_frames = 896;
    t.queue_target_frames = 768;
    t.queue_error_frames = -127.6;
    t.queue_depth_ms = 16.0000004;
    t.queue_depth_blocks = 5.999;
    t.underrun_count = 5000000000ull;
    t.overrun_count = 1;
    t.playback_dropped_count = 2;
    t.capture_dropped_count = 3;
    t.callback_processing_last_microseconds = 40;
    t.callback_processing_max_microseconds = 90;
    t.output_append_to_consume_last_microseconds = 21;
    t.output_append_to_consume_max_microseconds = 22;
    t.output_server_to_consume_last_microseconds = 23;
    t.output_server_to_consume_max_microseconds = 24;
    state.publish_asio_stats(t);

    const EngineSharedStats& s = reader.stats();
    EXPECT_EQ(s.asio_recv_blocks_per_sec, 375u);
    EXPECT_EQ(s.asio_callbacks_per_sec, 376u);
    EXPECT_EQ(s.asio_dequeued_blocks_per_sec, 374u);
    EXPECT_EQ(s.asio_queue_depth_frames, 768u);
    EXPECT_EQ(s.asio_queue_min_frames, 640u);
    EXPECT_EQ(s.asio_queue_max_frames, 896u);
    EXPECT_EQ(s.asio_queue_target_frames, 768u);
    EXPECT_EQ(s.asio_queue_error_frames, -127);
    EXPECT_EQ(s.asio_queue_depth_microseconds, 16000);
    EXPECT_EQ(s.asio_queue_depth_centi_blocks, 599);
    EXPECT_EQ(s.asio_pll_ratio_ppm, 12);
    EXPECT_EQ(s.underrun_count, 2147483647u);
    EXPECT_EQ(s.overrun_count, 1u);
    EXPECT_EQ(s.playback_dropped_count, 2u);
    EXPECT_EQ(s.capture_dropped_count, 3u);
    EXPECT_EQ(s.asio_callback_processing_last_microseconds, 40u);
    EXPECT_EQ(s.asio_callback_processing_max_microseconds, 90u);
    EXPECT_EQ(s.output_append_to_consume_last_microseconds, 21u);
    EXPECT_EQ(s.output_server_to_consume_max_microseconds, 24u);
    EXPECT_EQ(s.reserved, 0u);
    EXPECT_EQ(s.asio_rendered_frames, 9223372036854775807ull);

    t.pll_ratio = 0.99;
    state.publish_asio_stats(t);
    EXPECT_EQ(s.asio_pll_ratio_ppm, -10000);
}

struct ClampCase {
    double input;
    long expected;
};

TEST(EngineSharedState, ClampsToTheFieldRanges) {
    EXPECT_EQ(EngineSharedState::clamp_u32(0), 0u);
    EXPECT_EQ(EngineSharedState::clamp_u32(2147483647u), 2147483647u);
    EXPECT_EQ(EngineSharedState::clamp_u32(2147483648u), 2147483647u);
    EXPECT_EQ(EngineSharedState::clamp_size(5000000000ul), 2147483647ul);
    EXPECT_EQ(EngineSharedState::clamp_size(4294967296ul + 5), 2147483647ul) << "clamped, not narrowed first";
    EXPECT_EQ(EngineSharedState::clamp_u64(18446744073709551615ull), 9223372036854775807ull);
    EXPECT_EQ(EngineSharedState::clamp_u64(12345), 12345u);

    const ClampCase cases[] = {
        {12.5, 12},       {-127.6, -127},         {-0.9, 0},
        {3e12, 2147483647}, {-3e12, -2147483647L - 1}, {2147483647.9, 2147483647},
    };
    for (const ClampCase& c : cases) {
        EXPECT_EQ(EngineSharedState::clamp_double_to_long(c.input), c.expected) << c.input;
    }
    EXPECT_EQ(EngineSharedState::clamp_double_to_long(std::nan("")), 0);
}

} // namespace
