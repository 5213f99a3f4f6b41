// The engine host program, run as a process: its command line, its socket and its life.
// Run-mode tests use a copy of the program in a folder of its own, beside a stand-in engine
// library named VelmoraEngine.dylib, so the JSON is known byte for byte.
#include "child_process.h"
#include "fake_engine_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using VelmoraHostTest::ChildProcess;

const std::string kHost = VELMORA_ENGINE_HOST_PROGRAM;
const char* const kUsage =
    "Usage:\n"
    "  velmora_macos_engine_host --config <path.ini> --client-id <id> [--parent-pid pid]\n"
    "  velmora_macos_engine_host --self-test\n"
    "  velmora_macos_engine_host --check-engine <dylib-path>\n"
    "  velmora_macos_engine_host --print-socket-path\n"
    "  velmora_macos_engine_host --serve [socket-path] [--parent-pid pid]\n"
    "  velmora_macos_engine_host --serve-once [socket-path] [--parent-pid pid]\n"
    "  velmora_macos_engine_host --send-command <socket-path> <command>\n"
    "  velmora_macos_engine_host --command GET_STATE\n"
    "  velmora_macos_engine_host --command STOP\n";

std::uint32_t unique_client_id() {
    static std::atomic<std::uint32_t> counter{0};
    return (static_cast<std::uint32_t>(::getpid()) % 4000000u) * 1000u + 500u + counter++ % 500u;
}

std::string unique_path(const std::string& suffix) {
    static std::atomic<int> counter{0};
    return "/tmp/velmora-host-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool wait_for_path(const std::string& path, bool present, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (path_exists(path) == present) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return path_exists(path) == present;
}

// Until something accepts connections at the path (an empty connection gets no reply and does
// not count as an exchange).
bool wait_for_listener(const std::string& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One exchange as a raw client: connect, send, optionally half-close, read to end of stream.
struct Exchange {
    bool connected = false;
    bool ended = false;   // end of stream seen (not a time-out)
    std::string reply;
};

Exchange exchange(const std::string& path, const std::string& request, bool half_close,
                  std::chrono::milliseconds read_timeout = 3000ms) {
    Exchange result;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return result;
    }
    result.connected = true;
    if (!request.empty()) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    }
    if (half_close) {
        ::shutdown(fd, SHUT_WR);
    }
    const auto deadline = std::chrono::steady_clock::now() + read_timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            result.reply.append(buffer, static_cast<std::size_t>(n));
        } else {
            result.ended = n == 0 || errno == ECONNRESET;
            break;
        }
    }
    ::close(fd);
    return result;
}

// A copy of the program beside an engine library of our choice, as an installation would be.
class HostFolder {
public:
    explicit HostFolder(const std::string& engine_library, const std::string& folder_name = "") {
        folder_ = unique_path(folder_name.empty() ? "-host" : folder_name);
        fs::create_directories(folder_);
        fs::copy_file(kHost, program(), fs::copy_options::overwrite_existing);
        if (!engine_library.empty()) {
            fs::copy_file(engine_library, folder_ + "/VelmoraEngine.dylib", fs::copy_options::overwrite_existing);
        }
    }
    ~HostFolder() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string program() const { return folder_ + "/velmora_macos_engine_host"; }
    // A configuration for the stand-in engine; the marker file collects "stop" and "destroy".
    std::string write_config(std::uint32_t client_id, bool refuse = false) const {
        const std::string path = folder_ + "/client_" + std::to_string(client_id) + ".ini";
        std::ofstream file(path);
        file << "client_id=" << client_id << "\nmarker=" << marker() << "\n";
        if (refuse) {
            file << "refuse=1\n";
        }
        return path;
    }
    std::string marker() const { return folder_ + "/marker.txt"; }

private:
    std::string folder_;
};

std::string socket_for(std::uint32_t id) { return "/tmp/velmora-engine-host_" + std::to_string(id) + ".sock"; }
std::string lock_for(std::uint32_t id) { return "/tmp/velmora-engine-host_" + std::to_string(id) + ".lock"; }

// A host in run mode for a fresh client id, started and serving.
class RunningHost {
public:
    explicit RunningHost(const HostFolder& folder, std::vector<std::string> extra = {})
        : id_(unique_client_id()) {
        std::vector<std::string> arguments{folder.program(), "-c", folder.write_config(id_), "--client-id",
                                           std::to_string(id_)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        started_ = process_.start(arguments) &&
                   process_.wait_for_stdout("VelmoraEngineHost started. Socket: " + socket_for(id_) + "\n", 10s) &&
                   wait_for_path(socket_for(id_), true, 5s);
    }
    ~RunningHost() {
        process_.send_signal(SIGKILL);
        process_.wait_for_exit(5s);
        ::unlink(lock_for(id_).c_str());
        ::unlink(socket_for(id_).c_str());
    }
    bool started() const { return started_; }
    std::uint32_t id() const { return id_; }
    std::string socket() const { return socket_for(id_); }
    ChildProcess& process() { return process_; }

private:
    std::uint32_t id_;
    ChildProcess process_;
    bool started_ = false;
};

int run_host(const std::vector<std::string>& arguments, std::string* out = nullptr, std::string* err = nullptr,
             const std::vector<std::string>& environment = {}) {
    ChildProcess process;
    std::vector<std::string> full{kHost};
    full.insert(full.end(), arguments.begin(), arguments.end());
    if (!process.start(full, environment)) {
        return -1;
    }
    const int code = process.run();
    if (out != nullptr) {
        *out = process.stdout_text();
    }
    if (err != nullptr) {
        *err = process.stderr_text();
    }
    return code;
}

TEST(EngineHostProgram, BadCommandLinesPrintUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--config", "a.ini", "--client-id", "0"},
        {"--config", "a.ini", "--client-id", "12x"},
        {"--config", "a.ini", "--client-id", "5", "--parent-pid", "-5"},
        {"--bogus"},
        {"--serve", "/tmp/a.sock", "/tmp/b.sock"},
    };
    for (const auto& arguments : cases) {
        std::string out;
        std::string err;
        EXPECT_EQ(run_host(arguments, &out, &err), 1);
        EXPECT_EQ(out, kUsage);
        EXPECT_EQ(err, "");
    }
}

TEST(EngineHostProgram, DiagnosticModes) {
    std::string out;
    EXPECT_EQ(run_host({"--print-socket-path"}, &out), 0);
    EXPECT_EQ(out, "/tmp/velmora-engine-host.sock\n");

    EXPECT_EQ(run_host({"--self-test"}, &out), 0);
    EXPECT_EQ(out, "");

    EXPECT_EQ(run_host({"--command", " GET_STATE\r\n"}, &out), 0);
    EXPECT_EQ(out,
              "{\"ok\":true,\"abiVersion\":1,\"status\":0,\"health\":0,\"healthReason\":0,\"lastErrorCode\":0,"
              "\"lastErrorKey\":\"\",\"clientId\":0,\"sampleRate\":0,\"blockFrames\":0,\"actualSampleRate\":0,"
              "\"actualBlockFrames\":0,\"healthMessageKey\":\"\",\"recoveryEventCount\":0,\"recoveryEventCapacity\":8,"
              "\"recoveryEvents\":[],\"inputLevels\":[],\"outputLevels\":[]}\n");
    EXPECT_EQ(run_host({"--command", "STOP"}, &out), 0);
    EXPECT_EQ(out, "{\"ok\":true}\n");
    EXPECT_EQ(run_host({"--command", "get_state"}, &out), 0);
    EXPECT_EQ(out, "{\"ok\":false,\"error\":\"unknown command\"}\n");
}

TEST(EngineHostProgram, CheckEngineReportsTheLibrary) {
    std::string out;
    EXPECT_EQ(run_host({"--check-engine", FAKE_ENGINE_LIBRARY}, &out), 0);
    EXPECT_EQ(out, "{\"ok\":true}\n");
    EXPECT_EQ(run_host({"--check-engine", FAKE_ENGINE_WITHOUT_STOP_LIBRARY}, &out), 1);
    EXPECT_EQ(out, "{\"ok\":false,\"error\":\"missing velmora_engine_stop\"}\n");
    EXPECT_EQ(run_host({"--check-engine", "/nonexistent/VelmoraEngine.dylib"}, &out), 1);
    EXPECT_EQ(out, "{\"ok\":false,\"error\":\"engine library load failed\"}\n");
    EXPECT_EQ(run_host({"--check-engine", "/tmp/\xc3("}, &out), 1);
    EXPECT_EQ(out, "{\"ok\":false,\"error\":\"invalid utf8 path\"}\n");
}

TEST(EngineHostProgram, RunModeServesTheEngineStateUntilStop) {
    HostFolder folder(FAKE_ENGINE_LIBRARY);
    RunningHost host(folder, {"--parent-pid", std::to_string(::getpid())});
    ASSERT_TRUE(host.started()) << host.process().stderr_text();

    struct stat info {};
    ASSERT_EQ(::lstat(host.socket().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    std::string out;
    EXPECT_EQ(run_host({"--send-command", host.socket(), "GET_STATE"}, &out), 0);
    EXPECT_EQ(out, VelmoraHostTest::fake_engine_state_json(host.id()));
    EXPECT_EQ(run_host({"--send-command", host.socket(), "GET_STATE\n"}, &out), 0);
    EXPECT_EQ(out, VelmoraHostTest::fake_engine_state_json(host.id()));
    EXPECT_EQ(run_host({"--send-command", host.socket(), "NOPE"}, &out), 0);
    EXPECT_EQ(out, "{\"ok\":false,\"error\":\"unknown command\"}\n");

    EXPECT_EQ(run_host({"--send-command", host.socket(), "STOP"}, &out), 0);
    EXPECT_EQ(out, "{\"ok\":true}\n");
    EXPECT_EQ(host.process().wait_for_exit(5s), 0);
    EXPECT_FALSE(path_exists(host.socket()));
    EXPECT_TRUE(path_exists(lock_for(host.id()))) << "the lock file stays";
    EXPECT_EQ(read_text(folder.marker()), "stop\ndestroy\n");
}

TEST(EngineHostProgram, RunModeFailuresBeforeServing) {
    struct Case {
        std::string library;
        bool refuse;
        std::vector<std::string> environment;
        std::string message;
        std::string marker;
    };
    const Case cases[] = {
        {"", false, {}, "Failed to load VelmoraEngine.dylib exports: engine library load failed\n", ""},
        {FAKE_ENGINE_WITHOUT_STOP_LIBRARY, false, {}, "Failed to load VelmoraEngine.dylib exports: missing velmora_engine_stop\n", ""},
        {FAKE_ENGINE_LIBRARY, false, {"VELMORA_FAKE_ENGINE_CREATE_FAILS=1"}, "Failed to create VelmoraEngine instance\n", ""},
        {FAKE_ENGINE_LIBRARY, true, {}, "Failed to start VelmoraEngine from config\n", "destroy\n"},
    };
    for (const Case& c : cases) {
        HostFolder folder(c.library);
        const std::uint32_t id = unique_client_id();
        ChildProcess process;
        ASSERT_TRUE(process.start({folder.program(), "--config", folder.write_config(id, c.refuse), "--client-id",
                                   std::to_string(id)},
                                  c.environment));
        EXPECT_EQ(process.run(), 1);
        EXPECT_EQ(process.stderr_text(), c.message);
        EXPECT_EQ(process.stdout_text(), "");
        EXPECT_EQ(read_text(folder.marker()), c.marker);
        EXPECT_FALSE(path_exists(socket_for(id)));
        ::unlink(lock_for(id).c_str());
    }
}

TEST(EngineHostProgram, FindsTheEngineInAFolderWithANonAsciiName) {
    HostFolder folder(FAKE_ENGINE_LIBRARY, "-caf\xc3\xa9");
    RunningHost host(folder);
    ASSERT_TRUE(host.started()) << host.process().stderr_text();
    std::string out;
    EXPECT_EQ(run_host({"--send-command", host.socket(), "STOP"}, &out), 0);
    EXPECT_EQ(host.process().wait_for_exit(5s), 0);
}

TEST(EngineHostProgram, SecondHostForTheSameClientIsRefusedByTheLock) {
    HostFolder folder(FAKE_ENGINE_LIBRARY);
    RunningHost first(folder);
    ASSERT_TRUE(first.started());

    ChildProcess second;
    ASSERT_TRUE(second.start({folder.program(), "--config", folder.write_config(first.id()), "--client-id",
                              std::to_string(first.id())}));
    EXPECT_EQ(second.run(), 1);
    EXPECT_EQ(second.stderr_text(), "Client ID is already in use or unavailable\n");

    const Exchange still = exchange(first.socket(), "GET_STATE\n", false);
    EXPECT_EQ(still.reply, VelmoraHostTest::fake_engine_state_json(first.id()));
}

TEST(EngineHostProgram, LockFileThatIsASymbolicLinkIsRefused) {
    HostFolder folder(FAKE_ENGINE_LIBRARY);
    const std::uint32_t id = unique_client_id();
    const std::string target = unique_path("-target");
    ASSERT_EQ(::symlink(target.c_str(), lock_for(id).c_str()), 0);
    ChildProcess process;
    ASSERT_TRUE(process.start({folder.program(), "--config", folder.write_config(id), "--client-id", std::to_string(id)}));
    EXPECT_EQ(process.run(), 1);
    EXPECT_EQ(process.stderr_text(), "Client ID is already in use or unavailable\n");
    EXPECT_FALSE(path_exists(target)) << "the link is never followed";
    ::unlink(lock_for(id).c_str());
}

TEST(EngineHostProgram, EndsSoonAfterItsParentDies) {
    HostFolder folder(FAKE_ENGINE_LIBRARY);
    ChildProcess parent;
    ASSERT_TRUE(parent.start({"/bin/sleep", "60"}));
    RunningHost host(folder, {"--parent-pid", std::to_string(parent.pid())});
    ASSERT_TRUE(host.started());

    parent.send_signal(SIGKILL);
    ASSERT_TRUE(parent.wait_for_exit(5s));
    const auto died = std::chrono::steady_clock::now();
    EXPECT_EQ(host.process().wait_for_exit(5s), 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - died);
    std::printf("host ended %lld ms after its parent died\n", static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 2000) << "the parent is checked every 250 ms";
    EXPECT_FALSE(path_exists(host.socket()));
    EXPECT_EQ(read_text(folder.marker()), "stop\ndestroy\n");
}

TEST(EngineHostProgram, SignalsStopTheHostCleanly) {
    for (const int signal : {SIGTERM, SIGINT}) {
        HostFolder folder(FAKE_ENGINE_LIBRARY);
        RunningHost host(folder);
        ASSERT_TRUE(host.started());
        host.process().send_signal(signal);
        EXPECT_EQ(host.process().wait_for_exit(5s), 0) << signal;
        EXPECT_FALSE(path_exists(host.socket()));
        EXPECT_EQ(read_text(folder.marker()), "stop\ndestroy\n");
    }
}

// The skeleton server, for the framing rules.
class SkeletonServer {
public:
    explicit SkeletonServer(bool once = false, std::string path = unique_path(".sock")) : path_(std::move(path)) {
        process_.start({kHost, once ? "--serve-once" : "--serve", path_});
        started_ = wait_for_listener(path_, 5s);
    }
    ~SkeletonServer() {
        process_.send_signal(SIGKILL);
        process_.wait_for_exit(5s);
        ::unlink(path_.c_str());
    }
    bool started() const { return started_; }
    const std::string& path() const { return path_; }
    ChildProcess& process() { return process_; }

private:
    std::string path_;
    ChildProcess process_;
    bool started_ = false;
};

TEST(EngineHostProgram, RequestFraming) {
    SkeletonServer server;
    ASSERT_TRUE(server.started());
    const std::string unknown = "{\"ok\":false,\"error\":\"unknown command\"}\n";

    // The command is what comes before the first line feed, whatever follows it.
    Exchange e = exchange(server.path(), "GET_STATE\nSTOP\n", false);
    EXPECT_TRUE(e.ended);
    EXPECT_NE(e.reply.find("\"abiVersion\":1,"), std::string::npos);
    EXPECT_EQ(e.reply.back(), '\n');

    // 255 bytes and a line feed still fit; 256 bytes without one get no reply.
    e = exchange(server.path(), std::string(255, 'x') + "\n", false);
    EXPECT_EQ(e.reply, unknown);
    e = exchange(server.path(), std::string(256, 'x'), false);
    EXPECT_TRUE(e.ended);
    EXPECT_EQ(e.reply, "");
    e = exchange(server.path(), std::string(300, 'x') + "\n", true);
    EXPECT_EQ(e.reply, "");

    // Empty requests get no reply; a lone line feed is an (unknown) empty command.
    e = exchange(server.path(), "", true);
    EXPECT_TRUE(e.ended);
    EXPECT_EQ(e.reply, "");
    e = exchange(server.path(), "\n", false);
    EXPECT_EQ(e.reply, unknown);

    // A request without its end times out after a second, unanswered; the server carries on.
    const auto before = std::chrono::steady_clock::now();
    e = exchange(server.path(), "GET_ST", false, 5000ms);
    EXPECT_TRUE(e.ended);
    EXPECT_EQ(e.reply, "");
    EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms);

    e = exchange(server.path(), "  GET_STATE\r\n", false);
    EXPECT_NE(e.reply.find("\"ok\":true"), std::string::npos);

    // STOP without a line feed, then a half-close: answered, and the server ends.
    e = exchange(server.path(), "STOP", true);
    EXPECT_EQ(e.reply, "{\"ok\":true}\n");
    EXPECT_EQ(server.process().wait_for_exit(5s), 0);
    EXPECT_FALSE(path_exists(server.path()));
}

TEST(EngineHostProgram, ServeOnceEndsAfterTheFirstAnsweredCommand) {
    SkeletonServer once(true);
    ASSERT_TRUE(once.started());
    EXPECT_EQ(exchange(once.path(), "", true).reply, "") << "an unanswered request does not count";
    EXPECT_FALSE(once.process().wait_for_exit(300ms));
    EXPECT_NE(exchange(once.path(), "GET_STATE", true).reply.find("\"ok\":true"), std::string::npos);
    EXPECT_EQ(once.process().wait_for_exit(5s), 0);

    SkeletonServer serving;
    ASSERT_TRUE(serving.started());
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(exchange(serving.path(), "GET_STATE\n", false).reply.find("\"ok\":true"), std::string::npos);
    }
    EXPECT_FALSE(serving.process().wait_for_exit(300ms));
    EXPECT_EQ(exchange(serving.path(), "STOP\n", false).reply, "{\"ok\":true}\n");
    EXPECT_EQ(serving.process().wait_for_exit(5s), 0);
}

TEST(EngineHostProgram, SocketPathLimits) {
    std::string path103 = "/tmp/velmora-host-test-" + std::to_string(::getpid()) + "-";
    path103 += std::string(103 - path103.size() - 5, 'p') + ".sock";
    ASSERT_EQ(path103.size(), 103u);
    {
        SkeletonServer server(false, path103);
        ASSERT_TRUE(server.started());
        std::string out;
        EXPECT_EQ(run_host({"--send-command", path103, "STOP"}, &out), 0);
        EXPECT_EQ(out, "{\"ok\":true}\n");
        EXPECT_EQ(server.process().wait_for_exit(5s), 0);
    }
    const std::string path104 = path103 + "x";
    std::string out;
    std::string err;
    EXPECT_EQ(run_host({"--serve-once", path104}, &out, &err), 1);
    EXPECT_EQ(err, "Invalid socket path\n");
    EXPECT_EQ(run_host({"--send-command", path104, "STOP"}, &out, &err), 1);
    EXPECT_EQ(err, "Invalid socket path\n");
    EXPECT_EQ(out, "");

    EXPECT_EQ(run_host({"--send-command", unique_path(".sock"), "STOP"}, &out, &err), 1);
    EXPECT_EQ(err.rfind("connect failed: ", 0), 0u) << err;
}

TEST(EngineHostProgram, WhatAlreadySitsAtTheSocketPath) {
    // A symbolic link is neither followed nor removed.
    const std::string link = unique_path(".sock");
    const std::string target = unique_path("-target");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    std::string err;
    EXPECT_EQ(run_host({"--serve-once", link}, nullptr, &err), 1);
    struct stat info {};
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_FALSE(path_exists(target));
    ::unlink(link.c_str());

    // A regular file stays.
    const std::string file = unique_path(".sock");
    std::ofstream(file) << "keep me";
    EXPECT_EQ(run_host({"--serve-once", file}, nullptr, &err), 1);
    EXPECT_EQ(read_text(file), "keep me");
    ::unlink(file.c_str());

    // A stale socket (its server gone without removing it) is replaced.
    const std::string stale = unique_path(".sock");
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    SkeletonServer server(false, stale);
    ASSERT_TRUE(server.started());
    EXPECT_NE(exchange(stale, "GET_STATE\n", false).reply.find("\"ok\":true"), std::string::npos);

    // A second server on a live socket gives up silently and leaves the first one serving.
    std::string out;
    EXPECT_EQ(run_host({"--serve", stale}, &out, &err), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(exchange(stale, "STOP\n", false).reply, "{\"ok\":true}\n");
    EXPECT_EQ(server.process().wait_for_exit(5s), 0);
}

} // namespace
