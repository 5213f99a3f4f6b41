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

using VelmoraRuntimeTest::unique_client_id;

// A read-only view of a block, as the control app maps it.
class BlockReader {
public:
    explicit BlockReader(const std::string& name) {
        fd_ = ::shm_open(name.c_str(), O_RDONLY, 0);
        if (fd_ < 0) {
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) == 0) {
            size_ = static_cast<std::size_t>(info.st_size);
            mode_ = info.st_mode & 0777;
        }
        if (size_ >= kEngineSharedStatsSize) {
            void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
            if (mapped != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(mapped);
            }
        }
    }
    ~BlockReader() {
        if (data_ != nullptr) {
            ::munmap(const_cast<unsigned char*>(data_), size_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool exists() const { return fd_ >= 0; }
    std::size_t size() const { return size_; }
    unsigned mode() const { return mode_; }
    const unsigned char* bytes() const { return data_; }
    const EngineSharedStats& stats() const { return *reinterpret_cast<const EngineSharedStats*>(data_); }

private:
    int fd_ = -1;
    std::size_t size_ = 0;
    unsigned mode_ = 0;
    const unsigned char* data_ = nullptr;
};

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
