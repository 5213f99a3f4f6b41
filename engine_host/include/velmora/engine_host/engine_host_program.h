// The engine host program: its command line and its modes. `main` only calls `run_engine_host`.
//
// Run mode (--config/-c, --client-id, optional --parent-pid): take the client's instance lock,
// load VelmoraEngine.dylib from the program's own folder, start the engine and serve
// "/tmp/velmora-engine-host_<id>.sock" until STOP, SIGINT/SIGTERM or the parent's death (checked
// at least every 250 ms); then stop and destroy the engine. Diagnostic modes: --check-engine,
// --self-test, --print-socket-path, --serve/--serve-once (the protocol without an engine),
// --send-command and --command.
//
// Exit codes: 0 on success, 1 on any failure (one line on standard error) or a bad command line
// (the usage text on standard output).
#pragma once

#include <cstdint>
#include <string>

namespace VelmoraMac {

enum class EngineHostMode {
    usage,
    run,
    check_engine,
    self_test,
    print_socket_path,
    serve_once,
    serve,
    send_command,
    command,
};

struct EngineHostCommandLine {
    EngineHostMode mode = EngineHostMode::usage;
    std::string config_path;   // run
    std::uint32_t client_id = 0;  // run
    int parent_pid = 0;        // run and serve modes; 0 = none
    std::string socket_path;   // serve modes (default socket when not given) and send
    std::string argument;      // the library path of check, the command of send and command
};

// Pure. Chooses the mode; a command line that fits no mode, or serve options that do not parse,
// give `usage`.
EngineHostCommandLine parse_engine_host_command_line(int argc, const char* const* argv);

// Main thread; runs the chosen mode to its end and returns the exit code. Installs handlers for
// SIGINT and SIGTERM in the serving modes.
int run_engine_host(int argc, char** argv);

} // namespace VelmoraMac
