#include <velmora/test_support/child_process.h>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace VelmoraTest {
namespace {

using Clock = std::chrono::steady_clock;

} // namespace

std::unique_ptr<ChildProcess>
ChildProcess::start(const std::vector<std::string>& arguments,
                    const std::vector<std::pair<std::string, std::string>>& environment) {
    if (arguments.empty()) {
        return nullptr;
    }
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        return nullptr;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return nullptr;
    }
    std::vector<std::string> env_strings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool replaced = false;
        for (const auto& [name, value] : environment) {
            if (text.compare(0, name.size() + 1, name + "=") == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            env_strings.push_back(text);
        }
    }
    for (const auto& [name, value] : environment) {
        env_strings.push_back(name + "=" + value);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env_strings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (result != 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return nullptr;
    }
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->pid_ = pid;
    child->stdout_fd_ = out_pipe[0];
    child->stderr_fd_ = err_pipe[0];
    return child;
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdout_fd_ >= 0) {
        ::close(stdout_fd_);
    }
    if (stderr_fd_ >= 0) {
        ::close(stderr_fd_);
    }
}

bool ChildProcess::pump(std::chrono::milliseconds timeout) {
    if (stdout_fd_ < 0 && stderr_fd_ < 0) {
        return false;
    }
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return stdout_fd_ >= 0;
    }
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? stdout_fd_ : stderr_fd_;
        if (fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            (i == 0 ? pending_ : stderr_).append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    return stdout_fd_ >= 0 || pending_.find('\n') != std::string::npos;
}

// Both look at the pipes at least once, so a time-out of 0 takes what is already there.
bool ChildProcess::read_line(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (bool pumped = false;; pumped = true) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            lines_.push_back(line);
            return true;
        }
        const auto now = Clock::now();
        if (stdout_fd_ < 0 || (pumped && now >= deadline)) {
            line = stdout_fd_ < 0 ? pending_ : std::string();
            return false;
        }
        pump(now >= deadline ? std::chrono::milliseconds(0)
                             : std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

bool ChildProcess::wait_for_line(const std::string& text, std::string& line,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    do {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (read_line(line, std::max(left, std::chrono::milliseconds(0)))) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        } else if (stdout_fd_ < 0 || Clock::now() >= deadline) {
            return false;
        }
    } while (Clock::now() < deadline);
    return false;
}

bool ChildProcess::send_signal(int signal_number) {
    return !reaped_ && pid_ > 0 && ::kill(pid_, signal_number) == 0;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) {
        return status_;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            // Whatever the child wrote before it ended is still in the pipes.
            while (pump(std::chrono::milliseconds(0)) && (stdout_fd_ >= 0 || stderr_fd_ >= 0)) {
            }
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        pump(std::chrono::milliseconds(10));
    }
}

std::string ChildProcess::stdout_text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += '\n';
    }
    return text + pending_;
}

} // namespace VelmoraTest
