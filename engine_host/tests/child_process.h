// A program started by a test: its standard output and error go to files the test reads, and the
// destructor kills and reaps it if it is still running, so no test leaves a process behind.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace VelmoraHostTest {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0 && !exit_code_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (!output_base_.empty()) {
            ::unlink((output_base_ + ".out").c_str());
            ::unlink((output_base_ + ".err").c_str());
        }
    }

    // `extra_environment` entries are "NAME=value", added to this process's environment.
    bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& extra_environment = {}) {
        static int counter = 0;
        output_base_ = "/tmp/velmora-test-child-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (output_base_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, (output_base_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<std::string> environment_text;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment_text.emplace_back(*entry);
        }
        environment_text.insert(environment_text.end(), extra_environment.begin(), extra_environment.end());
        std::vector<char*> envp;
        for (std::string& entry : environment_text) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        const int result = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            pid_ = -1;
        }
        return result == 0;
    }

    // The exit code (128 + signal number when killed by a signal), or nothing on time-out.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout) {
        if (exit_code_ || pid_ <= 0) {
            return exit_code_;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exit_code_;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Runs to the end (bounded) and returns the exit code, -1 on time-out.
    int run(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const std::optional<int> code = wait_for_exit(timeout);
        return code ? *code : -1;
    }

    bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (stdout_text().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void send_signal(int signal) const {
        if (pid_ > 0 && !exit_code_) {
            ::kill(pid_, signal);
        }
    }

    pid_t pid() const { return pid_; }
    std::string stdout_text() const { return read_file(output_base_ + ".out"); }
    std::string stderr_text() const { return read_file(output_base_ + ".err"); }

private:
    static std::string read_file(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    std::string output_base_;
};

} // namespace VelmoraHostTest
