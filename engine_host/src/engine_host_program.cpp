#include <velmora/engine_host/engine_host_program.h>

#include <velmora/engine_host/client_instance_lock.h>
#include <velmora/engine_host/engine_api.h>
#include <velmora/engine_host/engine_host_protocol.h>
#include <velmora/engine_host/engine_host_socket.h>
#include <velmora/engine_host/utf8_path.h>
#include <velmora/platform/module_paths.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <signal.h>
#include <unistd.h>

namespace VelmoraMac {
namespace {

using VelmoraEngineHostProtocol::dispatch_command;
using VelmoraEngineHostProtocol::trim_command;

volatile std::sig_atomic_t g_stop_requested = 0;

void signal_handler(int) { g_stop_requested = 1; }

// Without SA_RESTART, so a signal cuts the server's 250 ms wait short.
void install_signal_handlers() {
    g_stop_requested = 0;
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// A whole argument of decimal digits, at most `max`.
bool parse_decimal(const char* text, unsigned long long max, unsigned long long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    unsigned long long result = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned>(*p - '0');
        if (result > max) {
            return false;
        }
    }
    value = result;
    return true;
}

bool parse_parent_pid(const char* text, int& pid) {
    unsigned long long value = 0;
    if (!parse_decimal(text, 2147483647ull, value)) {
        return false;
    }
    pid = static_cast<int>(value);
    return true;
}

// Every argument a run-mode option with a valid value, and both a client id and a configuration.
bool parse_run_options(int argc, const char* const* argv, EngineHostCommandLine& out) {
    bool have_client_id = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string_view option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) {
            return false;
        }
        if (option == "-c" || option == "--config") {
            std::wstring wide;
            if (*value == '\0' || !utf8_path_to_wide(value, wide)) {
                return false;
            }
            out.config_path = value;
        } else if (option == "--client-id") {
            unsigned long long id = 0;
            if (!parse_decimal(value, 4294967295ull, id) || id == 0) {
                return false;
            }
            out.client_id = static_cast<std::uint32_t>(id);
            have_client_id = true;
        } else if (option == "--parent-pid") {
            if (!parse_parent_pid(value, out.parent_pid)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return have_client_id && !out.config_path.empty();
}

// From the second argument on: "--parent-pid <pid>" and at most one socket path.
bool parse_serve_options(int argc, const char* const* argv, EngineHostCommandLine& out) {
    bool have_path = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--parent-pid") {
            if (i + 1 >= argc || !parse_parent_pid(argv[i + 1], out.parent_pid)) {
                return false;
            }
            ++i;
        } else if (!have_path) {
            out.socket_path = argv[i];
            have_path = true;
        } else {
            return false;
        }
    }
    if (!have_path) {
        out.socket_path = default_engine_host_socket_path();
    }
    return true;
}

void print_usage() {
    std::fputs("Usage:\n"
               "  velmora_macos_engine_host --config <path.ini> --client-id <id> [--parent-pid pid]\n"
               "  velmora_macos_engine_host --self-test\n"
               "  velmora_macos_engine_host --check-engine <dylib-path>\n"
               "  velmora_macos_engine_host --print-socket-path\n"
               "  velmora_macos_engine_host --serve [socket-path] [--parent-pid pid]\n"
               "  velmora_macos_engine_host --serve-once [socket-path] [--parent-pid pid]\n"
               "  velmora_macos_engine_host --send-command <socket-path> <command>\n"
               "  velmora_macos_engine_host --command GET_STATE\n"
               "  velmora_macos_engine_host --command STOP\n",
               stdout);
}

std::string default_engine_library_path() {
    return VelmoraPlatform::module_sibling_path(reinterpret_cast<const void*>(&default_engine_library_path),
                                                "VelmoraEngine.dylib");
}

bool skeleton_engine_state(void*, VelmoraEngineState& state) {
    std::memset(&state, 0, sizeof state);
    state.abi_version = 1;
    state.recovery_event_capacity = VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY;
    return true;
}

struct EngineStateContext {
    const EngineApi* api = nullptr;
    void* engine = nullptr;
};

bool engine_state(void* context, VelmoraEngineState& state) {
    const auto* engine = static_cast<const EngineStateContext*>(context);
    if (engine == nullptr || engine->api == nullptr || engine->api->get_state == nullptr) {
        return false;
    }
    return engine->api->get_state(engine->engine, &state) != 0;
}

struct ContinueContext {
    std::string socket_path;
    int parent_pid = 0;
    // The parent at start: once this process has been handed to another parent, the original one
    // has died even if it has not been reaped yet (and so still answers kill(pid, 0)).
    pid_t parent_at_start = 0;
};

bool should_continue_serving(void* context) {
    const auto* serving = static_cast<const ContinueContext*>(context);
    if (serving == nullptr || g_stop_requested != 0) {
        return false;
    }
    if (serving->parent_pid <= 0) {
        return true;
    }
    if (serving->parent_pid == serving->parent_at_start && ::getppid() != serving->parent_at_start) {
        return false;
    }
    return ::kill(serving->parent_pid, 0) == 0 || errno == EPERM;
}

int run_engine(const EngineHostCommandLine& command_line, pid_t parent_at_start) {
    install_signal_handlers();
    ClientInstanceLock lock;
    if (!lock.acquire(ClientInstanceLock::path_for_client(command_line.client_id))) {
        std::fputs("Client ID is already in use or unavailable\n", stderr);
        return 1;
    }
    std::wstring library_path;
    if (!utf8_path_to_wide(default_engine_library_path().c_str(), library_path)) {
        std::fputs("Invalid VelmoraEngine.dylib path\n", stderr);
        return 1;
    }
    EngineApi api;
    std::string error;
    if (!load_engine_api(library_path, api, error)) {
        std::fprintf(stderr, "Failed to load VelmoraEngine.dylib exports: %s\n", error.c_str());
        return 1;
    }
    void* engine = api.create();
    if (engine == nullptr) {
        std::fputs("Failed to create VelmoraEngine instance\n", stderr);
        unload_engine_api(api);
        return 1;
    }
    if (api.start_from_config(engine, command_line.config_path.c_str()) == 0) {
        std::fputs("Failed to start VelmoraEngine from config\n", stderr);
        api.destroy(engine);
        unload_engine_api(api);
        return 1;
    }
    ContinueContext serving{engine_host_socket_path_for_client(command_line.client_id), command_line.parent_pid,
                            parent_at_start};
    std::printf("VelmoraEngineHost started. Socket: %s\n", serving.socket_path.c_str());
    std::fflush(stdout);

    EngineStateContext state_context{&api, engine};
    const bool served = serve_engine_host_socket(serving.socket_path, false, engine_state, &state_context,
                                                 should_continue_serving, &serving);
    api.stop(engine);
    api.destroy(engine);
    unload_engine_api(api);
    return served ? 0 : 1;
}

int serve_skeleton(const EngineHostCommandLine& command_line, bool once, pid_t parent_at_start) {
    install_signal_handlers();
    ContinueContext serving{command_line.socket_path, command_line.parent_pid, parent_at_start};
    return serve_engine_host_socket(serving.socket_path, once, skeleton_engine_state, nullptr,
                                    should_continue_serving, &serving)
               ? 0
               : 1;
}

int check_engine(const std::string& path) {
    std::wstring wide;
    if (!utf8_path_to_wide(path.c_str(), wide)) {
        std::fputs("{\"ok\":false,\"error\":\"invalid utf8 path\"}\n", stdout);
        return 1;
    }
    EngineApi api;
    std::string error;
    if (!load_engine_api(wide, api, error)) {
        std::printf("{\"ok\":false,\"error\":\"%s\"}\n", error.c_str());
        return 1;
    }
    unload_engine_api(api);
    std::fputs("{\"ok\":true}\n", stdout);
    return 0;
}

int self_test() {
    const auto state = dispatch_command(VelmoraEngineHostProtocol::kCommandGetState, skeleton_engine_state, nullptr);
    const bool state_ok = !state.stop && state.reply.find("\"ok\":true") != std::string::npos &&
                          state.reply.find("\"status\":0") != std::string::npos;
    const auto stop = dispatch_command(VelmoraEngineHostProtocol::kCommandStop, skeleton_engine_state, nullptr);
    const bool stop_ok = stop.stop && stop.reply == "{\"ok\":true}\n";
    return state_ok && stop_ok ? 0 : 1;
}

int run_command(const std::string& text) {
    const auto result = dispatch_command(trim_command(text.data(), text.size()), skeleton_engine_state, nullptr);
    std::fwrite(result.reply.data(), 1, result.reply.size(), stdout);
    return 0;
}

int send_socket_command(const std::string& path, const std::string& command) {
    std::string reply;
    if (!send_engine_host_socket_command(path, command, reply)) {
        return 1;
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return 0;
}

} // namespace

EngineHostCommandLine parse_engine_host_command_line(int argc, const char* const* argv) {
    EngineHostCommandLine out;
    if (argc < 2) {
        return out;
    }
    EngineHostCommandLine run;
    if (parse_run_options(argc, argv, run)) {
        run.mode = EngineHostMode::run;
        return run;
    }
    const std::string_view first = argv[1];
    if (argc == 3 && first == "--check-engine") {
        out.mode = EngineHostMode::check_engine;
        out.argument = argv[2];
    } else if (argc == 2 && first == "--self-test") {
        out.mode = EngineHostMode::self_test;
    } else if (argc == 2 && first == "--print-socket-path") {
        out.mode = EngineHostMode::print_socket_path;
    } else if (first == "--serve-once" || first == "--serve") {
        if (parse_serve_options(argc, argv, out)) {
            out.mode = first == "--serve" ? EngineHostMode::serve : EngineHostMode::serve_once;
        }
    } else if (argc == 4 && first == "--send-command") {
        out.mode = EngineHostMode::send_command;
        out.socket_path = argv[2];
        out.argument = argv[3];
    } else if (argc == 3 && first == "--command") {
        out.mode = EngineHostMode::command;
        out.argument = argv[2];
    }
    return out;
}

int run_engine_host(int argc, char** argv) {
    const pid_t parent_at_start = ::getppid();
    const EngineHostCommandLine command_line = parse_engine_host_command_line(argc, argv);
    switch (command_line.mode) {
    case EngineHostMode::run: return run_engine(command_line, parent_at_start);
    case EngineHostMode::check_engine: return check_engine(command_line.argument);
    case EngineHostMode::self_test: return self_test();
    case EngineHostMode::print_socket_path:
        std::printf("%s\n", default_engine_host_socket_path().c_str());
        return 0;
    case EngineHostMode::serve_once: return serve_skeleton(command_line, true, parent_at_start);
    case EngineHostMode::serve: return serve_skeleton(command_line, false, parent_at_start);
    case EngineHostMode::send_command: return send_socket_command(command_line.socket_path, command_line.argument);
    case EngineHostMode::command: return run_command(command_line.argument);
    case EngineHostMode::usage: break;
    }
    print_usage();
    return 1;
}

} // namespace VelmoraMac
