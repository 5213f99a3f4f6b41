#include <velmora/debug_tool/debug_tool.h>
#include <velmora/debug_tool/server_stats_printer.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using VelmoraCore::DebugToolMode;
using VelmoraDebug::SharedStats;

// Runs `body` with a temporary stream and returns what it wrote.
template <typename Body>
std::string capture(Body&& body) {
    std::FILE* stream = std::tmpfile();
    body(stream);
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        text.append(buffer, count);
    }
    std::fclose(stream);
    return text;
}

SharedStats counting_record() {
    SharedStats stats{};
    stats.signature = VelmoraDebug::kSharedStatsSignature;
    stats.version = VelmoraDebug::kSharedStatsVersion;
    std::int32_t fields[(sizeof(SharedStats) - 8) / sizeof(std::int32_t)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        fields[i] = static_cast<std::int32_t>(i + 1);
    }
    std::memcpy(reinterpret_cast<unsigned char*>(&stats) + 8, fields, sizeof fields);
    return stats;
}

TEST(DebugToolArguments, ServerModeOnlyWithNoArgumentsOrOnlyServer) {
    struct Case {
        std::vector<const char*> arguments;
        DebugToolMode mode;
    };
    const std::vector<Case> cases = {
        {{}, DebugToolMode::server_stats},
        {{"--server"}, DebugToolMode::server_stats},
        {{"--server", "--server"}, DebugToolMode::server_stats},
        {{"--server", "-x"}, DebugToolMode::usage},
        {{"-h"}, DebugToolMode::usage},
        {{"--help"}, DebugToolMode::usage},
        {{"server"}, DebugToolMode::usage},
        {{""}, DebugToolMode::usage},
    };
    for (const Case& test : cases) {
        std::vector<const char*> argv = {"velmora_macos_debug"};
        argv.insert(argv.end(), test.arguments.begin(), test.arguments.end());
        EXPECT_EQ(VelmoraCore::parse_debug_tool_arguments(static_cast<int>(argv.size()), argv.data()), test.mode)
            << (test.arguments.empty() ? "(none)" : test.arguments.back());
    }
}

TEST(DebugToolArguments, UsagePrintsFourLinesAndExitsOne) {
    const char* argv[] = {"velmora_macos_debug", "--help"};
    int status = 0;
    const std::string out = capture([&](std::FILE* stream) { status = VelmoraCore::run_debug_tool(2, argv, stream, stream); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "Usage:\n  velmora_macos_debug --server\n\nDefault mode is --server.\n");
}

TEST(ServerStatsPrinter, PrintsEveryFieldInOrder) {
    const std::string line = capture([](std::FILE* stream) { VelmoraCore::print_server_stats(stream, counting_record()); });
    // Field n of the record (counting from active_client_count = 1) holds n.
    EXPECT_EQ(line,
              "server clients=1 calls=2 exact=3 fallback=4 zero=5 late=6 outDrop=7 outSeq=8 appliedSeq=9 "
              "queue=12/13 timerMmcss=16 timerLate=17 timerMiss=18 timerLateUs=19/20 srvSendUs=26/27 "
              "qos=21/22 dscp=24 qosErr=23/25 seqDelta=10 maxDelta=11 jump=0.000014 maxJump=0.000015\n");
}

TEST(ServerStatsPrinter, NoDeltaPrintsNotAvailableAndJumpsInSeconds) {
    SharedStats stats = counting_record();
    stats.last_sequence_delta = VelmoraDebug::kNoSequenceDelta;
    stats.max_sequence_delta = 3;
    stats.last_boundary_jump = 250000;
    stats.max_boundary_jump = 2147483647;
    stats.last_output_sequence = 4294967295u;
    const std::string line = capture([&](std::FILE* stream) { VelmoraCore::print_server_stats(stream, stats); });
    EXPECT_NE(line.find(" outSeq=-1 "), std::string::npos) << line;
    EXPECT_NE(line.find(" seqDelta=n/a maxDelta=3 jump=0.250000 maxJump=2147.483647\n"), std::string::npos) << line;
}

class StatsModeTest : public ::testing::Test {
protected:
    std::string name_ = VelmoraTest::unique_shared_name("VelmoraDebugStats_tooltest");
    void TearDown() override { ::shm_unlink(name_.c_str()); }

    int run(std::uint64_t lines, std::string& out, std::string& err) {
        VelmoraCore::ServerStatsWatch watch;
        watch.mapping_name = name_.c_str();
        watch.max_lines = lines;
        watch.interval_us = 1000;
        int status = 0;
        err = capture([&](std::FILE* err_stream) {
            out = capture([&](std::FILE* out_stream) {
                status = VelmoraCore::run_server_stats_mode(watch, out_stream, err_stream);
            });
        });
        return status;
    }

    // A raw object of `size` bytes holding `stats`, as another program might leave it.
    void write_raw(const SharedStats& stats, std::size_t size) {
        const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ASSERT_EQ(::pwrite(fd, &stats, std::min(size, sizeof stats), 0), static_cast<ssize_t>(std::min(size, sizeof stats)));
        ::close(fd);
    }
};

TEST_F(StatsModeTest, MissingRecordIsReportedWithErrno) {
    std::string out;
    std::string err;
    EXPECT_EQ(run(1, out, err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Velmora server debug mapping is not available. Start the CoreAudio driver first. errno=2\n");
}

TEST_F(StatsModeTest, ForeignVersionSignatureOrSizeIsRefused) {
    SharedStats version_five = counting_record();
    version_five.version = 5;
    SharedStats bad_signature = counting_record();
    bad_signature.signature = 0x47424457;
    struct Case {
        SharedStats stats;
        std::size_t size;
    };
    for (const Case& test : {Case{version_five, sizeof(SharedStats)}, Case{bad_signature, sizeof(SharedStats)},
                             Case{counting_record(), 8}}) {
        write_raw(test.stats, test.size);
        std::string out;
        std::string err;
        EXPECT_EQ(run(1, out, err), 1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "Velmora server debug mapping has unexpected version/signature.\n");
        ::shm_unlink(name_.c_str());
    }
}

TEST_F(StatsModeTest, AttachesAndPrintsTheLiveRecord) {
    VelmoraMac::CoreAudioDebugSharedState writer(name_);
    ASSERT_TRUE(writer.initialize());
    writer.set_active_client_count(2);
    writer.increment_exact_match_count();
    std::string out;
    std::string err;
    EXPECT_EQ(run(2, out, err), 0);
    EXPECT_EQ(err, "");
    const std::string line =
        "server clients=2 calls=0 exact=1 fallback=0 zero=0 late=0 outDrop=0 outSeq=0 appliedSeq=0 queue=0/0 "
        "timerMmcss=0 timerLate=0 timerMiss=0 timerLateUs=0/0 srvSendUs=0/0 qos=0/0 dscp=0 qosErr=0/0 "
        "seqDelta=n/a maxDelta=0 jump=0.000000 maxJump=0.000000\n";
    EXPECT_EQ(out, "VelmoraDebug attached to server stats. Press Ctrl+C to exit.\n" + line + line);
}

} // namespace
