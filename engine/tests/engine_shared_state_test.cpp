#include "runtime_test_support.h"

#include <velmora/engine/engine_shared_state.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include <sys/wait.h>

extern "C" unsigned velmora_engine_state_size_from_c(void);

namespace {

using VelmoraRuntimeTest::BlockReader;
using VelmoraRuntimeTest::unique_client_id;

// Leaves an object of the given size and contents behind, as a crashed engine would.
void create_leftover(std::uint32_t id, std::size_t size, unsigned char fill, mode_t mode) {
    const int fd = ::shm_open(engine_shared_stats_name(id).c_str(), O_RDWR | O_CREAT, mode);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::vector<unsigned char> bytes(size, fill);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

TEST(EngineSharedState, StateRecordHasTheSameLayoutInC) {
    EXPECT_EQ(velmora_engine_state_size_from_c(), 904u);
}

TEST(EngineSharedState, LifeOfA288ByteBlockOwnedByItsWriter) {
    EXPECT_EQ(engine_shared_stats_name(4294967295u), "/VelmoraEngineStats_4294967295_v6");
    const std::uint32_t id = unique_client_id();
    // A block left by a crashed engine, of the wrong size, with garbage and wider permissions:
    // everything about it is replaced.
    create_leftover(id, 4096, 0xAB, 0644);
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    BlockReader reader(id);
    ASSERT_NE(reader.bytes(), nullptr);
    EXPECT_EQ(std::vector<std::size_t>({reader.size(), reader.mode()}), std::vector<std::size_t>({288, 0600}));
    EXPECT_EQ(std::memcmp(reader.bytes(), "VENG", 4), 0);
    const EngineSharedStats& s = reader.stats();
    EXPECT_EQ(std::vector<unsigned>({s.version, s.client_id, s.status}), std::vector<unsigned>({6, id, 0}));
    EXPECT_EQ(std::vector<unsigned char>(reader.bytes() + 20, reader.bytes() + 288),
              std::vector<unsigned char>(268, 0));

    // Setters write their fields, clamped.
    state.set_status(4);
    state.set_last_error(4000000000u);
    state.set_format(44100, 65535);
    EXPECT_EQ(std::vector<unsigned>({s.status, s.last_error_code, s.sample_rate, s.block_frames}),
              std::vector<unsigned>({4, 2147483647, 44100, 65535}));
    state.reset_stats(77);
    EXPECT_EQ(std::vector<unsigned>({s.version, s.client_id, s.status, s.sample_rate}),
              std::vector<unsigned>({6, 77, 0, 0}));

    // Another writer for the same id (only possible without the host's instance lock) replaces
    // the block; shutdown then leaves the block that is no longer its own.
    EngineSharedState second;
    ASSERT_TRUE(second.initialize(id));
    state.shutdown();
    second.set_status(velmora_engine_status_running);
    BlockReader early(id);
    ASSERT_NE(early.bytes(), nullptr);
    second.shutdown();
    EXPECT_FALSE(BlockReader(id).exists());
    EXPECT_EQ(early.stats().status, 3u) << "readers keep their view";
    // Writes while closed are ignored; a second shutdown does nothing.
    second.set_status(7);
    second.shutdown();
}

TEST(EngineSharedState, RefusesABlockOwnedByAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    const std::uint32_t id = unique_client_id();
    create_leftover(id, 288, 0x5A, 0666);
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
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "initialize must fail on a foreign block";
    BlockReader reader(id);
    ASSERT_NE(reader.bytes(), nullptr);
    EXPECT_EQ(reader.bytes()[0], 0x5A);
    ::shm_unlink(engine_shared_stats_name(id).c_str());
}

// The fields' places are fixed at compile time; what can go wrong is the conversion into them.
TEST(EngineSharedState, PublishesTelemetryClampedNotNarrowedAndScaled) {
    const std::uint32_t id = unique_client_id();
    EngineSharedState state;
    ASSERT_TRUE(state.initialize(id));
    BlockReader reader(id);
    ASSERT_NE(reader.bytes(), nullptr);
    const EngineSharedStats& s = reader.stats();

    VelmoraClient::Telemetry n;
    n.received_blocks_per_second = 375;
    n.probe_responses = 5000000000ull;
    n.probe_timeouts = 4294967296ull + 3; // narrowing first would give 3
    n.rtt_max_us = 4000000000u;
    n.rtt_histogram[9] = 109;
    n.sync_age_histogram[9] = 209;
    n.output_recv_to_append_max_us = 18;
    state.publish_net_stats(n);
    EXPECT_EQ(std::vector<std::uint32_t>(
                  {s.net_recv_blocks_per_sec, s.net_time_probe_response_count, s.net_time_probe_timeout_count,
                   s.net_time_probe_max_rtt_microseconds, s.net_time_probe_rtt_buckets[9],
                   s.net_sync_age_buckets[9], s.output_recv_to_append_max_microseconds}),
              std::vector<std::uint32_t>({375, 2147483647, 2147483647, 2147483647, 109, 209, 18}));

    AsioPlayer::Telemetry a;
    a.rendered_frames = 18446744073709551615ull;
    a.pll_ratio = 1.0000125;
    a.queue_error_frames = -127.6;
    a.queue_depth_ms = 16.0000004;
    a.queue_depth_blocks = 5.999;
    a.underrun_count = 5000000000ull;
    a.capture_dropped_count = 3;
    a.output_server_to_consume_max_microseconds = 24;
    state.publish_asio_stats(a);
    EXPECT_EQ(
        std::vector<std::int64_t>({s.asio_queue_error_frames, s.asio_queue_depth_microseconds,
                                   s.asio_queue_depth_centi_blocks, s.asio_pll_ratio_ppm, s.underrun_count,
                                   s.capture_dropped_count, s.output_server_to_consume_max_microseconds}),
        std::vector<std::int64_t>({-127, 16000, 599, 12, 2147483647, 3, 24}));
    EXPECT_EQ(s.asio_rendered_frames, 9223372036854775807ull);
    a.pll_ratio = 0.99;
    state.publish_asio_stats(a);
    EXPECT_EQ(s.asio_pll_ratio_ppm, -10000);
}

TEST(EngineSharedState, ClampsFractionsTowardZeroAndToTheFieldRanges) {
    EXPECT_EQ(EngineSharedState::clamp_size(4294967296ul + 5), 2147483647ul) << "clamped, not narrowed first";
    const std::pair<double, long> cases[] = {
        {12.5, 12},       {-127.6, -127}, {-0.9, 0}, {3e12, 2147483647}, {-3e12, -2147483647L - 1},
        {std::nan(""), 0}};
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(EngineSharedState::clamp_double_to_long(input), expected) << input;
    }
}

} // namespace
