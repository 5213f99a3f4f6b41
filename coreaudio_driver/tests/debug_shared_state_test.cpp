#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using VelmoraDebug::SharedStats;
using VelmoraMac::CoreAudioDebugSharedState;

namespace {

// Maps the object read-only, as the statistics tool does, and reads fields by byte offset.
class ToolView {
public:
    explicit ToolView(const std::string& name) {
        fd_ = ::shm_open(name.c_str(), O_RDONLY, 0);
        if (fd_ >= 0) {
            void* mapped = ::mmap(nullptr, 116, PROT_READ, MAP_SHARED, fd_, 0);
            bytes_ = mapped == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(mapped);
        }
    }
    ~ToolView() {
        if (bytes_ != nullptr) {
            ::munmap(const_cast<unsigned char*>(bytes_), 116);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return bytes_ != nullptr; }
    std::int32_t at(std::size_t offset) const {
        const unsigned char* p = bytes_ + offset;
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
            static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    }
    const unsigned char* bytes() const { return bytes_; }

private:
    int fd_ = -1;
    const unsigned char* bytes_ = nullptr;
};

bool object_exists(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

class DebugSharedStateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(state.initialize()); }
    CoreAudioDebugSharedState state{VelmoraTest::unique_shared_name("VelmoraDebugStats_test")};
};

} // namespace

// No object with the product's name is made here: its destructor would unlink the name under a
// running server, or under another test that uses it.
static_assert(std::string_view(VelmoraDebug::kPosixSharedMappingName) == "/VelmoraDebugStats_v6");

TEST_F(DebugSharedStateTest, FreshRecordHasSignatureVersionAndNoDelta) {
    ToolView view(state.name());
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(std::memcmp(view.bytes(), "VDBG", 4), 0);
    EXPECT_EQ(view.at(4), 6);
    EXPECT_EQ(view.at(44), std::numeric_limits<std::int32_t>::min());
    for (std::size_t offset = 8; offset < 116; offset += 4) {
        if (offset != 44) {
            EXPECT_EQ(view.at(offset), 0) << "offset " << offset;
        }
    }
}

TEST_F(DebugSharedStateTest, EachSetterWritesItsOwnOffset) {
    struct Case {
        const char* what;
        void (*apply)(CoreAudioDebugSharedState&);
        std::size_t offset;
        std::int32_t value;
    };
    const Case cases[] = {
        {"clients", [](CoreAudioDebugSharedState& s) { s.set_active_client_count(3); }, 8, 3},
        {"calls", [](CoreAudioDebugSharedState& s) { s.increment_process_input_call_count(); }, 12, 1},
        {"exact", [](CoreAudioDebugSharedState& s) { s.increment_exact_match_count(); }, 16, 1},
        {"fallback", [](CoreAudioDebugSharedState& s) { s.increment_fallback_last_block_count(); }, 20, 1},
        {"zero", [](CoreAudioDebugSharedState& s) { s.increment_zero_fill_count(); }, 24, 1},
        {"late", [](CoreAudioDebugSharedState& s) { s.increment_late_drop_count(); }, 28, 1},
        {"outDrop", [](CoreAudioDebugSharedState& s) { s.increment_output_snapshot_drop_count(); }, 32, 1},
        {"outSeq", [](CoreAudioDebugSharedState& s) { s.set_last_output_sequence(0xFFFFFFFEU); }, 36, -2},
        {"appliedSeq", [](CoreAudioDebugSharedState& s) { s.set_last_applied_sequence(77); }, 40, 77},
        {"seqDelta", [](CoreAudioDebugSharedState& s) { s.set_last_sequence_delta(-5); }, 44, -5},
        {"maxDelta", [](CoreAudioDebugSharedState& s) { s.set_last_sequence_delta(-5); }, 48, 5},
        {"queue", [](CoreAudioDebugSharedState& s) { s.set_last_queue_depth(4); }, 52, 4},
        {"maxQueue", [](CoreAudioDebugSharedState& s) { s.set_last_queue_depth(4); }, 56, 4},
        {"jump", [](CoreAudioDebugSharedState& s) { s.set_last_boundary_jump(0.25); }, 60, 250000},
        {"maxJump", [](CoreAudioDebugSharedState& s) { s.set_last_boundary_jump(-0.5); }, 64, 500000},
        {"mmcss", [](CoreAudioDebugSharedState& s) { s.set_timer_mmcss_active(true); }, 68, 1},
        {"timerLate", [](CoreAudioDebugSharedState& s) { s.record_timer_late(40, 0); }, 72, 1},
        {"timerMiss", [](CoreAudioDebugSharedState& s) { s.record_timer_late(0, 3); }, 76, 3},
        {"lateUs", [](CoreAudioDebugSharedState& s) { s.record_timer_late(40, 0); }, 80, 40},
        {"maxLateUs", [](CoreAudioDebugSharedState& s) { s.record_timer_late(40, 0); }, 84, 40},
        {"qos", [](CoreAudioDebugSharedState& s) { s.set_qos_config(true, 46); }, 88, 1},
        {"flows", [](CoreAudioDebugSharedState& s) { s.set_qos_applied_flow_count(2); }, 92, 2},
        {"qosErr", [](CoreAudioDebugSharedState& s) { s.record_qos_error(-9); }, 96, -9},
        {"dscp", [](CoreAudioDebugSharedState& s) { s.set_qos_config(true, 46); }, 100, 46},
        {"qosErrCount", [](CoreAudioDebugSharedState& s) { s.record_qos_error(-9); }, 104, 1},
        {"sendUs", [](CoreAudioDebugSharedState& s) { s.record_output_enqueue_to_send(321); }, 108, 321},
        {"maxSendUs", [](CoreAudioDebugSharedState& s) { s.record_output_enqueue_to_send(321); }, 112, 321},
    };
    ToolView view(state.name());
    ASSERT_TRUE(view.ok());
    for (const Case& c : cases) {
        state.reset_stats();
        c.apply(state);
        EXPECT_EQ(view.at(c.offset), c.value) << c.what;
    }
}

TEST_F(DebugSharedStateTest, MaximaOnlyRiseAndPartialUpdatesTouchOnlyTheirFields) {
    state.set_last_sequence_delta(-3);
    state.set_last_sequence_delta(2);
    EXPECT_EQ(state.snapshot().last_sequence_delta, 2);
    EXPECT_EQ(state.snapshot().max_sequence_delta, 3);
    state.set_last_sequence_delta(-7);
    state.set_last_sequence_delta(VelmoraDebug::kNoSequenceDelta);
    EXPECT_EQ(state.snapshot().last_sequence_delta, VelmoraDebug::kNoSequenceDelta);
    EXPECT_EQ(state.snapshot().max_sequence_delta, 7);
    state.set_last_queue_depth(8);
    state.set_last_queue_depth(1);
    EXPECT_EQ(state.snapshot().last_queue_depth, 1);
    EXPECT_EQ(state.snapshot().max_queue_depth, 8);
    state.record_output_enqueue_to_send(900);
    state.record_output_enqueue_to_send(10);
    EXPECT_EQ(state.snapshot().max_output_enqueue_to_send_us, 900);
    // Timer misses without lateness count only the misses.
    state.record_timer_late(0, 2);
    EXPECT_EQ(state.snapshot().timer_miss_count, 2);
    EXPECT_EQ(state.snapshot().timer_late_count, 0);
    EXPECT_EQ(state.snapshot().last_timer_late_us, 0);
    state.record_qos_error(-9);
    state.clear_qos_error();
    EXPECT_EQ(state.snapshot().last_qos_error, 0);
    EXPECT_EQ(state.snapshot().qos_error_count, 1);
}

TEST_F(DebugSharedStateTest, ResetStartsFromZerosAndInitializeTwiceKeepsTheMapping) {
    state.increment_exact_match_count();
    const SharedStats* before = state.stats();
    EXPECT_TRUE(state.initialize());
    EXPECT_EQ(state.stats(), before);
    EXPECT_EQ(state.snapshot().exact_match_count, 1);
    state.reset_stats();
    EXPECT_EQ(state.snapshot().exact_match_count, 0);
    EXPECT_EQ(state.snapshot().signature, VelmoraDebug::kSharedStatsSignature);
}

TEST(DebugSharedStateHelpers, ClampFloatToMicro) {
    using S = CoreAudioDebugSharedState;
    EXPECT_EQ(S::clamp_float_to_micro(-0.25), 250000);
    EXPECT_EQ(S::clamp_float_to_micro(5000.0), 2147483647);
    EXPECT_EQ(S::clamp_float_to_micro(0.0000015), 1);
    EXPECT_EQ(S::clamp_float_to_micro(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(S::clamp_float_to_micro(std::numeric_limits<double>::quiet_NaN()), 0);
}

// Created from zeros each time, unlinked by shutdown (even when another process made it), and
// a reader keeps its mapping after the name is gone. Unmapped, every setter does nothing.
TEST(DebugSharedStateLifecycle, CreationShutdownAndReaders) {
    const std::string name = VelmoraTest::unique_shared_name("VelmoraDebugStats_test");
    CoreAudioDebugSharedState state(name);
    state.increment_exact_match_count();
    state.set_last_sequence_delta(4);
    state.record_timer_late(1, 1);
    state.reset_stats();
    EXPECT_EQ(state.stats(), nullptr);
    ASSERT_TRUE(state.initialize());
    state.increment_late_drop_count();
    state.set_active_client_count(2);
    {
        ToolView view(name);
        ASSERT_TRUE(view.ok());
        state.shutdown();
        EXPECT_FALSE(object_exists(name));
        EXPECT_FALSE(state.is_mapped());
        EXPECT_EQ(view.at(8), 2);
    }
    state.increment_exact_match_count();
    state.set_last_queue_depth(3);
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
    EXPECT_FALSE(invalid.is_mapped());
    invalid.increment_exact_match_count();
}
