// velmora_macos_debug as a user runs it, against the product's fixed record name.
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/child_process.h>
#include <velmora/test_support/machine_lock.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::ChildProcess;

// The record has one name on the machine: other test runs wait while this one uses it.
class DebugToolProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held()) << "another test run kept the statistics record's name";
    }
    VelmoraTest::MachineLock lock_{"velmora-debug-stats-test"};
};

std::unique_ptr<ChildProcess> run_tool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VELMORA_DEBUG_TOOL_PATH);
    return ChildProcess::start(arguments);
}

TEST_F(DebugToolProgram, UsageAndAMissingRecordExitOne) {
    auto tool = run_tool({"--server", "--help"});
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(tool->wait(30s), 1);
    EXPECT_EQ(tool->stdout_text(), "Usage:\n  velmora_macos_debug --server\n\nDefault mode is --server.\n");
    ::shm_unlink(VelmoraDebug::kPosixSharedMappingName);
    tool = run_tool({});
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(tool->wait(30s), 1);
    EXPECT_EQ(tool->stderr_text(),
              "Velmora server debug mapping is not available. Start the CoreAudio driver first. errno=2\n");
}

// Another version, another signature or a record too short are refused alike.
TEST_F(DebugToolProgram, AForeignRecordIsRefused) {
    for (const auto& [offset, bytes] : {std::pair<off_t, std::uint32_t>{4, 5}, {0, 0x47424457}, {-1, 0}}) {
        VelmoraMac::CoreAudioDebugSharedState writer;
        ASSERT_TRUE(writer.initialize());
        const int fd = ::shm_open(VelmoraDebug::kPosixSharedMappingName, O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(offset < 0 ? ::ftruncate(fd, 8) : ::pwrite(fd, &bytes, sizeof bytes, offset) - 4, 0);
        ::close(fd);
        auto tool = run_tool({"--server"});
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(tool->wait(30s), 1);
        EXPECT_EQ(tool->stdout_text(), "");
        EXPECT_EQ(tool->stderr_text(), "Velmora server debug mapping has unexpected version/signature.\n");
    }
}

TEST_F(DebugToolProgram, PrintsMovingCountersUntilInterrupted) {
    VelmoraMac::CoreAudioDebugSharedState writer;
    ASSERT_TRUE(writer.initialize());
    writer.set_active_client_count(7);
    auto tool = run_tool({"--server", "--server"});
    ASSERT_NE(tool, nullptr);
    std::string line;
    ASSERT_TRUE(tool->read_line(line, 30s));
    EXPECT_EQ(line, "VelmoraDebug attached to server stats. Press Ctrl+C to exit.");
    ASSERT_TRUE(tool->wait_for_line("server clients=7 calls=0 ", line, 30s)) << tool->stdout_text();
    writer.set_active_client_count(3);
    writer.increment_process_input_call_count();
    ASSERT_TRUE(tool->wait_for_line("server clients=3 calls=1 ", line, 30s)) << tool->stdout_text();
    // The mapping outlives the name: the last values keep coming after the plug-in removes it.
    writer.shutdown();
    ASSERT_TRUE(tool->read_line(line, 30s));
    ASSERT_TRUE(tool->read_line(line, 30s));
    EXPECT_EQ(line.rfind("server clients=3 calls=1 ", 0), 0u) << line;
    ASSERT_TRUE(tool->send_signal(SIGINT));
    EXPECT_EQ(tool->wait(30s), 128 + SIGINT);
}

} // namespace
