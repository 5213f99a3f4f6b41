#include <velmora/debug_tool/debug_tool.h>
#include <velmora/debug_tool/server_stats_printer.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using VelmoraCore::DebugToolMode;
using VelmoraDebug::SharedStats;

// Runs `body` with a temporary stream and returns what it wrote.
template <typename Body>
std::string capture(Body&& body) {
    std::FILE* stream = std::tmpfile();
    body(stream);
    std::string text(static_cast<std::size_t>(std::ftell(stream)), '\0');
    std::rewind(stream);
    text.resize(std::fread(text.data(), 1, text.size(), stream));
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
        {{"--server", "-x"}, DebugToolMode::usage},
        {{"--help"}, DebugToolMode::usage},
        {{"server"}, DebugToolMode::usage},
        {{""}, DebugToolMode::usage},
    };
    for (const Case& test : cases) {
        std::vector<const char*> argv = {"velmora_macos_debug"};
        argv.insert(argv.end(), test.arguments.begin(), test.arguments.end());
        EXPECT_EQ(VelmoraCore::parse_debug_tool_arguments(static_cast<int>(argv.size()), argv.data()),
                  test.mode)
            << (test.arguments.empty() ? "(none)" : test.arguments.back());
    }
}

TEST(ServerStatsPrinter, PrintsEveryFieldInOrderInItsFormat) {
    const std::string line =
        capture([](std::FILE* stream) { VelmoraCore::print_server_stats(stream, counting_record()); });
    // Field n of the record (counting from active_client_count = 1) holds n.
    EXPECT_EQ(line,
              "server clients=1 calls=2 exact=3 fallback=4 zero=5 late=6 outDrop=7 outSeq=8 appliedSeq=9 "
              "queue=12/13 timerMmcss=16 timerLate=17 timerMiss=18 timerLateUs=19/20 srvSendUs=26/27 "
              "qos=21/22 dscp=24 qosErr=23/25 seqDelta=10 maxDelta=11 jump=0.000014 maxJump=0.000015\n");
    // No delta prints "n/a"; jumps print in seconds; the output sequence as signed.
    SharedStats stats = counting_record();
    stats.last_sequence_delta = VelmoraDebug::kNoSequenceDelta;
    stats.max_sequence_delta = 3;
    stats.last_boundary_jump = 250000;
    stats.max_boundary_jump = 2147483647;
    stats.last_output_sequence = 4294967295u;
    const std::string other =
        capture([&](std::FILE* stream) { VelmoraCore::print_server_stats(stream, stats); });
    EXPECT_NE(other.find(" outSeq=-1 "), std::string::npos) << other;
    EXPECT_NE(other.find(" seqDelta=n/a maxDelta=3 jump=0.250000 maxJump=2147.483647\n"), std::string::npos)
        << other;
}

} // namespace
