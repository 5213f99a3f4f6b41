// The command line of velmora_macos_debug: `velmora_macos_debug [--server]`.
//
// With no argument, or with every argument "--server", it attaches read-only to the plug-in's
// statistics record and prints a line every 250 ms until a signal ends it. Any other argument
// ("-h", "--help" included) prints the usage text and gives exit status 1. Every failure to attach
// prints one line and gives exit status 1.
#pragma once

#include <cstdint>
#include <cstdio>

namespace VelmoraCore {

// Four lines: "Usage:", "  velmora_macos_debug --server", "", "Default mode is --server.".
extern const char kDebugToolUsage[];

enum class DebugToolMode { server_stats, usage };

DebugToolMode parse_debug_tool_arguments(int argc, const char* const* argv);

struct ServerStatsWatch {
    const char* mapping_name = nullptr; // the record's shared-memory name
    std::uint64_t max_lines = 0;        // 0: print until the process is ended
    std::uint32_t interval_us = 250000;
};

// Statistics mode: attaches to `watch.mapping_name`, prints the attach line and then one line per
// interval to `out`; failure lines go to `err`. Returns the exit status (0 after `max_lines` lines,
// 1 on failure). Control thread; blocks between lines.
int run_server_stats_mode(const ServerStatsWatch& watch, std::FILE* out, std::FILE* err);

// The whole program. Returns the exit status.
int run_debug_tool(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

} // namespace VelmoraCore
