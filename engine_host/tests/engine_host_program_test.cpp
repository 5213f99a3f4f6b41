// The engine host program, run as a process: its command line, its socket and its life.
// Run-mode tests use a copy of the program in a folder of its own, beside a stand-in engine
// library named VelmoraEngine.dylib, so the JSON is known byte for byte.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

namespace fs = std::filesystem;
using namespace VelmoraHostTest;
using velmora_test::unique_client_id;

const std::string kOk = "{\"ok\":true}\n";
const std::string kUnknown = "{\"ok\":false,\"error\":\"unknown command\"}\n";
const std::string kSkeletonState =
    "{\"ok\":true,\"abiVersion\":1,\"status\":0,\"health\":0,\"healthReason\":0,\"lastErrorCode\":0,"
    "\"lastErrorKey\":\"\",\"clientId\":0,\"sampleRate\":0,\"blockFrames\":0,\"actualSampleRate\":0,"
    "\"actualBlockFrames\":0,\"healthMessageKey\":\"\",\"recoveryEventCount\":0,\"recoveryEventCapacity\":8,"
    "\"recoveryEvents\":[],\"inputLevels\":[],\"outputLevels\":[]}\n";

// The GET_STATE reply for the stand-in engine's state.
std::string fake_engine_state_json(unsigned client_id) {
    return "{\"ok\":true,\"abiVersion\":5,\"status\":3,\"health\":2,\"healthReason\":5,\"lastErrorCode\":7,"
           "\"lastErrorKey\":\"engine_message.runtime_retry_exhausted\",\"clientId\":" +
           std::to_string(client_id) +
           ",\"sampleRate\":48000,\"blockFrames\":128,\"actualSampleRate\":48000,\"actualBlockFrames\":128,"
           "\"healthMessageKey\":\"engine_message.playback_underrun\",\"recoveryEventCount\":2,"
           "\"recoveryEventCapacity\":8,\"recoveryEvents\":["
           "{\"sequence\":1,\"tickMs\":1000,\"type\":1,\"reason\":10,\"typeName\":\"requested\","
           "\"reasonName\":\"device_lost\",\"attempt\":1,\"maxAttempts\":3,\"errorCode\":0,"
           "\"messageKey\":\"diagnostics.recovery_detail_requested\"},"
           "{\"sequence\":2,\"tickMs\":1005,\"type\":3,\"reason\":10,\"typeName\":\"attempt_failed\","
           "\"reasonName\":\"device_lost\",\"attempt\":1,\"maxAttempts\":3,\"errorCode\":7,"
           "\"messageKey\":\"diagnostics.recovery_detail_runtime_failed_retry\"}],"
           "\"inputLevels\":[{\"driverChannel\":2,\"peakMilli\":500},{\"driverChannel\":3,\"peakMilli\":1000}"
           "],"
           "\"outputLevels\":[{\"driverChannel\":0,\"peakMilli\":7}]}\n";
}

std::string unique_path(const std::string& suffix) {
    static int counter = 0;
    return "/tmp/velmora-host-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
}

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

int connect_to(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = address_of(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One exchange as a raw client: connect, send, optionally half-close, read to end of stream.
struct Exchange {
    bool ended = false; // end of stream seen (not a time-out)
    std::string reply;
};

Exchange exchange(const std::string& path, const std::string& request, bool half_close) {
    Exchange result;
    const int fd = connect_to(path);
    if (fd < 0) {
        return result;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (half_close) {
        ::shutdown(fd, SHUT_WR);
    }
    pollfd readable{fd, POLLIN, 0};
    char buffer[1024];
    while (::poll(&readable, 1, 10000) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            result.ended = n == 0 || errno == ECONNRESET;
            break;
        }
        result.reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return result;
}

// A copy of the program beside an engine library of our choice, as an installation would be.
class HostFolder {
public:
    explicit HostFolder(const std::string& engine_library, const std::string& folder_name = "-host")
        : folder_(unique_path(folder_name)) {
        fs::create_directories(folder_);
        fs::copy_file(kHost, program());
        if (!engine_library.empty()) {
            fs::copy_file(engine_library, folder_ + "/VelmoraEngine.dylib");
        }
    }
    ~HostFolder() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string program() const { return folder_ + "/velmora_macos_engine_host"; }
    // A configuration for the stand-in engine; the marker file collects "stop" and "destroy".
    std::string config(std::uint32_t client_id, bool refuse = false) const {
        const std::string path = folder_ + "/client_" + std::to_string(client_id) + ".ini";
        std::ofstream(path) << "client_id=" << client_id << "\nmarker=" << marker()
                            << (refuse ? "\nrefuse=1\n" : "\n");
        return path;
    }
    std::string marker() const { return folder_ + "/marker.txt"; }
    // A host in run mode for a fresh client id.
    std::unique_ptr<Host> host(std::vector<std::string> extra = {}) const {
        const std::uint32_t id = unique_client_id();
        return std::make_unique<Host>(program(), id, config(id), std::move(extra));
    }

private:
    std::string folder_;
};

TEST(EngineHostProgram, CommandLineModesWithoutAnEngine) {
    const std::string usage =
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
    const std::string error = "{\"ok\":false,\"error\":\"";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{}, 1, usage},
        {{"--config", "a.ini", "--client-id", "0"}, 1, usage},
        {{"--bogus"}, 1, usage},
        {{"--print-socket-path"}, 0, "/tmp/velmora-engine-host.sock\n"},
        {{"--self-test"}, 0, ""},
        {{"--command", " GET_STATE\r\n"}, 0, kSkeletonState},
        {{"--command", "STOP"}, 0, kOk},
        {{"--command", "get_state"}, 0, kUnknown},
        {{"--check-engine", FAKE_ENGINE_LIBRARY}, 0, kOk},
        {{"--check-engine", FAKE_ENGINE_WITHOUT_STOP_LIBRARY}, 1, error + "missing velmora_engine_stop\"}\n"},
        {{"--check-engine", "/nonexistent/VelmoraEngine.dylib"},
         1,
         error + "engine library load failed\"}\n"},
        {{"--check-engine", "/tmp/\xc3("}, 1, error + "invalid utf8 path\"}\n"},
    };
    for (const auto& [arguments, code, expected] : cases) {
        std::vector<std::string> command{kHost};
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::string out, err;
        EXPECT_EQ(run(command, &out, &err), code) << command.back();
        EXPECT_EQ(out, expected);
        EXPECT_EQ(err, "");
    }
}

TEST(EngineHostProgram, RunModeServesTheEngineStateUntilStopAndHoldsTheClientId) {
    // A folder with a name outside ASCII: the engine is still found beside the program.
    HostFolder folder(FAKE_ENGINE_LIBRARY, "-caf\xc3\xa9");
    const auto host = folder.host({"--parent-pid", std::to_string(::getpid())});
    ASSERT_TRUE(host->started()) << host->errors();
    struct stat info {};
    ASSERT_EQ(::lstat(host->socket().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFSOCK | 0600u) << "a socket only its owner can use";
    EXPECT_EQ(send(host->socket(), "GET_STATE"), fake_engine_state_json(host->id));
    EXPECT_EQ(send(host->socket(), "NOPE"), kUnknown);

    // A second host for the same client id is refused by the instance lock.
    std::string err;
    EXPECT_EQ(
        run({folder.program(), "--config", folder.config(host->id), "--client-id", std::to_string(host->id)},
            nullptr, &err),
        1);
    EXPECT_EQ(err, "Client ID is already in use or unavailable\n");
    EXPECT_EQ(exchange(host->socket(), "GET_STATE\n", false).reply, fake_engine_state_json(host->id));

    EXPECT_EQ(send(host->socket(), "STOP"), kOk);
    EXPECT_EQ(host->wait(), 0);
    EXPECT_FALSE(path_exists(host->socket()));
    EXPECT_TRUE(path_exists(lock_for(host->id))) << "the lock file stays";
    EXPECT_EQ(read_text(folder.marker()), "stop\ndestroy\n");
}

TEST(EngineHostProgram, RunModeFailuresBeforeServing) {
    const std::string fake = FAKE_ENGINE_LIBRARY, load = "Failed to load VelmoraEngine.dylib exports: ";
    struct Case {
        std::string library;
        bool refuse, lock_is_a_link, create_fails;
        std::string message, marker;
    };
    const Case cases[] = {
        {"", false, false, false, load + "engine library load failed\n", ""},
        {FAKE_ENGINE_WITHOUT_STOP_LIBRARY, false, false, false, load + "missing velmora_engine_stop\n", ""},
        {fake, false, false, true, "Failed to create VelmoraEngine instance\n", ""},
        {fake, true, false, false, "Failed to start VelmoraEngine from config\n", "destroy\n"},
        // A lock file that is a symbolic link is never followed.
        {fake, false, true, false, "Client ID is already in use or unavailable\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        HostFolder folder(c.library);
        const std::uint32_t id = unique_client_id();
        const std::string target = unique_path("-target");
        if (c.lock_is_a_link) {
            ASSERT_EQ(::symlink(target.c_str(), lock_for(id).c_str()), 0);
        }
        std::string out, err;
        EXPECT_EQ(run({folder.program(), "--config", folder.config(id, c.refuse), "--client-id",
                       std::to_string(id)},
                      &out, &err, {{"VELMORA_FAKE_ENGINE_CREATE_FAILS", c.create_fails ? "1" : ""}}),
                  1);
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(out, "");
        EXPECT_EQ(read_text(folder.marker()), c.marker);
        EXPECT_FALSE(path_exists(socket_for(id)));
        EXPECT_FALSE(path_exists(target));
        ::unlink(lock_for(id).c_str());
    }
}

TEST(EngineHostProgram, SignalsAndTheParentsDeathStopAndDestroyTheEngine) {
    for (const int signal : {SIGTERM, SIGINT, 0}) {
        SCOPED_TRACE(signal);
        HostFolder folder(FAKE_ENGINE_LIBRARY);
        const auto parent = ChildProcess::start({"/bin/sleep", "60"});
        ASSERT_TRUE(parent);
        const auto host = folder.host({"--parent-pid", std::to_string(parent->pid())});
        ASSERT_TRUE(host->started()) << host->errors();
        const auto begin = std::chrono::steady_clock::now();
        if (signal != 0) {
            host->process().send_signal(signal);
        } else {
            parent->send_signal(SIGKILL);
            ASSERT_EQ(parent->wait(10s), 128 + SIGKILL);
        }
        EXPECT_EQ(host->wait(), 0);
        // The parent is checked every 250 ms; the bound leaves room for a loaded machine.
        EXPECT_LT((std::chrono::steady_clock::now() - begin) / 1ms, 3000);
        EXPECT_FALSE(path_exists(host->socket()));
        EXPECT_EQ(read_text(folder.marker()), "stop\ndestroy\n");
    }
}

// The skeleton server on `path`, once it accepts connections (an empty connection gets no reply
// and is no exchange). A failed test kills it; the caller removes what it leaves.
std::unique_ptr<ChildProcess> serve(const std::string& path, const char* mode = "--serve") {
    auto process = ChildProcess::start({kHost, mode, path});
    EXPECT_TRUE(velmora_test::wait_for([&] {
        const int fd = connect_to(path);
        ::close(fd);
        return fd >= 0;
    }));
    return process;
}

TEST(EngineHostProgram, RequestFraming) {
    const std::string path = unique_path(".sock");
    const auto server = serve(path);
    const std::tuple<std::string, bool, std::string> cases[] = {
        // The command is what comes before the first line feed, whatever follows it.
        {"GET_STATE\nSTOP\n", false, kSkeletonState},
        // 255 bytes and a line feed still fit; 256 bytes without one get no reply.
        {std::string(255, 'x') + "\n", false, kUnknown},
        {std::string(256, 'x'), false, ""},
        {std::string(300, 'x') + "\n", true, ""},
        // Empty requests get no reply; a lone line feed is an (unknown) empty command.
        {"", true, ""},
        {"\n", false, kUnknown},
        // Leading spaces and trailing blanks (a NUL too) are trimmed; a leading carriage return is not.
        {"  GET_STATE \t\r\n", false, kSkeletonState},
        {std::string("GET_STATE\0", 10), true, kSkeletonState},
        {"\rGET_STATE\n", false, kUnknown},
        // A request without its end times out after a second, unanswered; the server carries on.
        {"GET_ST", false, ""},
    };
    for (const auto& [request, half_close, reply] : cases) {
        const auto before = std::chrono::steady_clock::now();
        const Exchange e = exchange(path, request, half_close);
        EXPECT_TRUE(e.ended) << request;
        EXPECT_EQ(e.reply, reply) << request;
        EXPECT_TRUE(request != "GET_ST" || std::chrono::steady_clock::now() - before >= 900ms);
    }
    // STOP without a line feed, then a half-close: answered, and the server ends.
    EXPECT_EQ(exchange(path, "STOP", true).reply, kOk);
    EXPECT_EQ(server->wait(20s), 0);
    EXPECT_FALSE(path_exists(path));
}

TEST(EngineHostProgram, ServeOnceEndsAfterTheFirstAnsweredCommand) {
    const std::string path = unique_path(".sock");
    const auto once = serve(path, "--serve-once");
    EXPECT_EQ(exchange(path, "", true).reply, "") << "an unanswered request does not count";
    EXPECT_EQ(once->wait(300ms), -1);
    EXPECT_EQ(exchange(path, "GET_STATE", true).reply, kSkeletonState);
    EXPECT_EQ(once->wait(20s), 0);
}

TEST(EngineHostProgram, SocketPathLimitsAndWhatAlreadySitsThere) {
    std::string path103 = "/tmp/velmora-host-test-" + std::to_string(::getpid()) + "-";
    path103 += std::string(103 - path103.size() - 5, 'p') + ".sock";
    const auto long_path_server = serve(path103);
    EXPECT_EQ(send(path103, "STOP"), kOk);
    EXPECT_EQ(long_path_server->wait(20s), 0);
    std::string out, err;
    for (const auto& command : {std::vector<std::string>{kHost, "--serve-once", path103 + "x"},
                                {kHost, "--send-command", path103 + "x", "STOP"}}) {
        EXPECT_EQ(run(command, &out, &err), 1) << command[1];
        EXPECT_EQ(out + err, "Invalid socket path\n") << command[1];
    }
    EXPECT_EQ(run({kHost, "--send-command", unique_path(".sock"), "STOP"}, &out, &err), 1);
    EXPECT_EQ(err.rfind("connect failed: ", 0), 0u) << err;

    // A symbolic link is neither followed nor removed; a regular file stays.
    const std::string link = unique_path(".sock");
    const std::string target = unique_path("-target");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(run({kHost, "--serve-once", link}), 1);
    struct stat info {};
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_FALSE(path_exists(target));
    ::unlink(link.c_str());
    const std::string file = unique_path(".sock");
    std::ofstream(file) << "keep me";
    EXPECT_EQ(run({kHost, "--serve-once", file}), 1);
    EXPECT_EQ(read_text(file), "keep me");
    ::unlink(file.c_str());

    // A stale socket (its server gone without removing it) is replaced.
    const std::string stale = unique_path(".sock");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = address_of(stale);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    const auto server = serve(stale);
    // A second server on a live socket gives up silently and leaves the first one serving.
    EXPECT_EQ(run({kHost, "--serve", stale}, &out, &err), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(exchange(stale, "STOP\n", false).reply, kOk);
    EXPECT_EQ(server->wait(20s), 0);
}

} // namespace
