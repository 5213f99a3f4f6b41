// Helpers of the host tests: the engine host program run as a process for one client id, its
// command client, and a reader of the JSON fields of its replies.
#pragma once

#include "fake_velmora_server.h"

#include <velmora/engine/engine_shared_stats.h>
#include <velmora/test_support/child_process.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace VelmoraHostTest {

using VelmoraTest::ChildProcess;
using namespace std::chrono_literals;

inline const std::string kHost = VELMORA_ENGINE_HOST_PROGRAM;

inline std::string socket_for(std::uint32_t id) {
    return "/tmp/velmora-engine-host_" + std::to_string(id) + ".sock";
}
inline std::string lock_for(std::uint32_t id) {
    return "/tmp/velmora-engine-host_" + std::to_string(id) + ".lock";
}

inline bool path_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Runs a program to its end (bounded); its exit code, -1 when it cannot start or does not end.
inline int run(const std::vector<std::string>& arguments, std::string* out = nullptr,
               std::string* err = nullptr,
               const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    const auto process = ChildProcess::start(arguments, environment);
    const int code = process ? process->wait(30s) : -1;
    std::string ignored;
    (out ? *out : ignored) = process ? process->stdout_text() : "";
    (err ? *err : ignored) = process ? process->stderr_text() : "";
    return code;
}

// The reply of the host at `socket` to one command, through the program's own command client.
inline std::string send(const std::string& socket, const std::string& command) {
    std::string out;
    return run({kHost, "--send-command", socket, command}, &out) == 0 ? out : std::string();
}

// A top-level unsigned number of a reply, or -1.
inline long long json_number(const std::string& reply, const std::string& name) {
    std::smatch match;
    return std::regex_search(reply, match, std::regex("\"" + name + "\":([0-9]+)")) ? std::stoll(match[1])
                                                                                    : -1;
}

// The host program in run mode for one client id, started and serving. A host still running at
// the end (a failed test) is killed, and what a killed host leaves behind is removed.
class Host {
public:
    Host(const std::string& program, std::uint32_t id, const std::string& config,
         std::vector<std::string> extra = {})
        : id(id) {
        std::vector<std::string> arguments{program, "--config", config, "--client-id", std::to_string(id)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        process_ = ChildProcess::start(arguments);
        std::string line;
        started_ = process_ &&
                   process_->wait_for_line("VelmoraEngineHost started. Socket: " + socket(), line, 20s) &&
                   velmora_test::wait_for([&] { return path_exists(socket()); });
    }
    ~Host() {
        if (process_) {
            process_->send_signal(SIGKILL);
            process_->wait(10s);
        }
        ::unlink(lock_for(id).c_str());
        ::unlink(socket().c_str());
        ::shm_unlink(engine_shared_stats_name(id).c_str());
    }
    bool started() const { return started_; }
    std::string socket() const { return socket_for(id); }
    std::string state() const { return send(socket(), "GET_STATE"); }
    // The exit code once the host ends, -1 if it does not within the time.
    int wait(std::chrono::milliseconds timeout = 20s) { return process_->wait(timeout); }
    ChildProcess& process() { return *process_; }
    std::string errors() const { return process_ ? process_->stderr_text() : "cannot start"; }

    const std::uint32_t id;

private:
    std::unique_ptr<ChildProcess> process_;
    bool started_ = false;
};

} // namespace VelmoraHostTest
