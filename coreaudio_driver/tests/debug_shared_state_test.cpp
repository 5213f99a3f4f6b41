#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using VelmoraMac::CoreAudioDebugSharedState;

namespace {

// Maps the object read-only as the statistics tool does: its 29 native 32-bit fields, or null.
const std::int32_t* map_as_tool(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    void* mapped = fd < 0 ? MAP_FAILED : ::mmap(nullptr, 116, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return mapped == MAP_FAILED ? nullptr : static_cast<const std::int32_t*>(mapped);
}

bool object_exists(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

std::string test_name() {
    return VelmoraTest::unique_shared_name("VelmoraDebugStats_test");
}

} // namespace

// No object with the product's name is made here: its destructor would unlink the name under a
// running server, or under another test that uses it.
static_assert(std::string_view(VelmoraDebug::kPosixSharedMappingName) == "/VelmoraDebugStats_v6");

// The 116-byte record as the tool reads it: signature, version, no delta, and each setter writing
// its own fields and nothing else.
TEST(DebugSharedState, RecordLayout) {
    CoreAudioDebugSharedState state(test_name());
    ASSERT_TRUE(state.initialize());
    const std::int32_t* view = map_as_tool(state.name());
    ASSERT_NE(view, nullptr);
    using S = CoreAudioDebugSharedState;
    using Fields = std::map<std::size_t, std::int32_t>;
    const std::pair<void (*)(S&), Fields> cases[] = {
        {[](S&) {}, {}},
        {[](S& s) { s.set_active_client_count(3); }, {{8, 3}}},
        {[](S& s) { s.increment_process_input_call_count(); }, {{12, 1}}},
        {[](S& s) { s.increment_exact_match_count(); }, {{16, 1}}},
        {[](S& s) { s.increment_fallback_last_block_count(); }, {{20, 1}}},
        {[](S& s) { s.increment_zero_fill_count(); }, {{24, 1}}},
        {[](S& s) { s.increment_late_drop_count(); }, {{28, 1}}},
        {[](S& s) { s.increment_output_snapshot_drop_count(); }, {{32, 1}}},
        {[](S& s) { s.set_last_output_sequence(0xFFFFFFFEU); }, {{36, -2}}},
        {[](S& s) { s.set_last_applied_sequence(77); }, {{40, 77}}},
        {[](S& s) { s.set_last_sequence_delta(-5); }, {{44, -5}, {48, 5}}},
        {[](S& s) { s.set_last_queue_depth(4); }, {{52, 4}, {56, 4}}},
        {[](S& s) { s.set_last_boundary_jump(-0.5); }, {{60, 500000}, {64, 500000}}},
        {[](S& s) { s.set_timer_mmcss_active(true); }, {{68, 1}}},
        {[](S& s) { s.record_timer_late(40, 3); }, {{72, 1}, {76, 3}, {80, 40}, {84, 40}}},
        {[](S& s) { s.set_qos_config(true, 46); }, {{88, 1}, {100, 46}}},
        {[](S& s) { s.set_qos_applied_flow_count(2); }, {{92, 2}}},
        {[](S& s) { s.record_qos_error(-9); }, {{96, -9}, {104, 1}}},
        {[](S& s) { s.record_output_enqueue_to_send(321); }, {{108, 321}, {112, 321}}},
    };
    for (const auto& [apply, fields] : cases) {
        state.reset_stats();
        apply(state);
        EXPECT_EQ(std::memcmp(view, "VDBG", 4), 0);
        EXPECT_EQ(view[1], 6);
        for (std::size_t offset = 8; offset < 116; offset += 4) {
            const std::int32_t fresh = offset == 44 ? std::numeric_limits<std::int32_t>::min() : 0;
            EXPECT_EQ(view[offset / 4], fields.count(offset) ? fields.at(offset) : fresh)
                << "offset " << offset;
        }
    }
    ::munmap(const_cast<std::int32_t*>(view), 116);
}

TEST(DebugSharedState, MaximaOnlyRiseAndPartialUpdatesTouchOnlyTheirFields) {
    CoreAudioDebugSharedState state(test_name());
    ASSERT_TRUE(state.initialize());
    state.set_last_sequence_delta(-7);
    state.set_last_sequence_delta(VelmoraDebug::kNoSequenceDelta);
    state.set_last_queue_depth(8);
    state.set_last_queue_depth(1);
    state.record_qos_error(-9);
    state.clear_qos_error();
    const VelmoraDebug::SharedStats stats = state.snapshot();
    EXPECT_EQ(stats.last_sequence_delta, VelmoraDebug::kNoSequenceDelta);
    EXPECT_EQ(stats.max_sequence_delta, 7);
    EXPECT_TRUE(stats.last_queue_depth == 1 && stats.max_queue_depth == 8);
    EXPECT_TRUE(stats.last_qos_error == 0 && stats.qos_error_count == 1);
    using S = CoreAudioDebugSharedState;
    EXPECT_EQ(S::clamp_float_to_micro(-0.25), 250000);
    EXPECT_EQ(S::clamp_float_to_micro(5000.0), 2147483647);
    EXPECT_EQ(S::clamp_float_to_micro(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(S::clamp_float_to_micro(std::numeric_limits<double>::quiet_NaN()), 0);
}

// Created from zeros each time (initialize twice keeps the mapping), unlinked by shutdown even when
// another process made it, and a reader keeps its mapping after the name is gone. Unmapped, every
// setter does nothing.
TEST(DebugSharedState, CreationShutdownAndReaders) {
    const std::string name = test_name();
    CoreAudioDebugSharedState state(name);
    state.increment_exact_match_count();
    EXPECT_EQ(state.stats(), nullptr);
    ASSERT_TRUE(state.initialize());
    state.set_active_client_count(2);
    state.increment_late_drop_count();
    const VelmoraDebug::SharedStats* before = state.stats();
    EXPECT_TRUE(state.initialize());
    EXPECT_EQ(state.stats(), before);
    const std::int32_t* view = map_as_tool(name);
    ASSERT_NE(view, nullptr);
    state.shutdown();
    EXPECT_FALSE(object_exists(name));
    EXPECT_FALSE(state.is_mapped());
    EXPECT_EQ(view[2], 2);
    ::munmap(const_cast<std::int32_t*>(view), 116);
    state.increment_exact_match_count();
    ASSERT_TRUE(state.initialize());
    EXPECT_EQ(state.snapshot().late_drop_count, 0);
    state.shutdown();

    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    CoreAudioDebugSharedState other(name);
    other.shutdown();
    EXPECT_FALSE(object_exists(name));

    CoreAudioDebugSharedState invalid("/velmora/not/a/valid/shm/name");
    EXPECT_FALSE(invalid.initialize());
    invalid.increment_exact_match_count();
}
