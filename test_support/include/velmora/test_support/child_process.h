// A program started by a test: its standard output and error captured through pipes, read with
// time-outs, ended with a signal. The destructor kills (SIGKILL) and reaps a child that is still
// running, so a failing test never leaves a process behind.
//
// Test code only; one thread per object.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace VelmoraTest {

class ChildProcess {
public:
    // Starts `arguments[0]` (a path) with the arguments, the test's environment plus
    // `environment` (NAME, value; replaces a variable of the same name). Null if it cannot start.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments,
                                               const std::vector<std::pair<std::string, std::string>>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output, without its line feed. False at the time-out or when the
    // output ends (the rest, without a line feed, is then in `line`).
    bool read_line(std::string& line, std::chrono::milliseconds timeout);
    // Reads lines until one contains `text` (true, the line in `line`) or the time-out passes.
    // Every line read is kept in `stdout_lines()`.
    bool wait_for_line(const std::string& text, std::string& line, std::chrono::milliseconds timeout);

    // Sends a signal; false when the child has been reaped already.
    bool send_signal(int signal_number);
    // Waits for the child to end, draining its output meanwhile. The exit status (0..255), 128 +
    // the signal number for a child killed by a signal, or -1 at the time-out.
    int wait(std::chrono::milliseconds timeout);

    const std::vector<std::string>& stdout_lines() const { return lines_; }
    // Everything read from standard output / error so far (error is drained as output is read).
    std::string stdout_text() const;
    const std::string& stderr_text() const { return stderr_; }
    pid_t pid() const { return pid_; }

private:
    ChildProcess() = default;
    // Reads whatever is available on both pipes, waiting at most `timeout`; false when nothing
    // more can come from standard output.
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string pending_;
    std::string stderr_;
    std::vector<std::string> lines_;
};

} // namespace VelmoraTest
