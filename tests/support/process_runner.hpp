#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/core/unique_fd.hpp"

namespace kelvra::testing {

// How a process ended: by exit with `code`, or by `signal`.
struct ExitStatus {
    bool exited = false;
    int code = 0;
    int signal = 0;

    bool exited_with(int expected) const { return exited && code == expected; }
    std::string describe() const;
};

// A program started as a child process with its standard output and error captured, standard
// input on /dev/null, every signal unblocked and at its default action. Output is collected
// while waiting. A process still running at destruction is killed and reaped.
class ProcessRunner {
public:
    using Duration = std::chrono::milliseconds;

    // Throws std::runtime_error when the program cannot be started.
    ProcessRunner(const std::string& program, const std::vector<std::string>& args);
    ~ProcessRunner();
    ProcessRunner(const ProcessRunner&) = delete;
    ProcessRunner& operator=(const ProcessRunner&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return !status_.has_value(); }
    const std::optional<ExitStatus>& status() const { return status_; }

    bool send_signal(int signal);
    // Waits for the end of the process; empty when it is still running after `timeout`.
    std::optional<ExitStatus> wait(Duration timeout);
    // Waits until `text` has appeared on standard output or error; false after `timeout` or
    // when the process ended without writing it.
    bool wait_for_output(std::string_view text, Duration timeout);
    // Waits until the process has blocked `signal` (as the kernel reports in /proc), which
    // tells that it has reached the point where it handles that signal itself.
    bool wait_for_blocked_signal(int signal, Duration timeout);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Collects available output for at most `slice`, then checks whether the process ended.
    void pump(Duration slice);
    void drain();
    bool read_available(UniqueFd& fd, std::string& into);
    void reap(bool block);

    pid_t pid_ = -1;
    UniqueFd out_fd_;
    UniqueFd err_fd_;
    std::string out_;
    std::string err_;
    std::optional<ExitStatus> status_;
};

// Output and end of a process that was run to completion (or killed after `timeout`).
struct ProcessResult {
    std::optional<ExitStatus> status;  // empty: still running at the deadline, then killed
    std::string out;
    std::string err;
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          ProcessRunner::Duration timeout = std::chrono::seconds(10));

// Free ports on 127.0.0.1: bound to port 0, read back and released, so that a test can give
// them to a program it starts.
uint16_t free_udp_port();
uint16_t free_tcp_port();
// A socket of `type` bound to a free port on 127.0.0.1, which `address` is set to.
UniqueFd loopback_socket(int type, sockaddr_in& address);

// A new directory under the system's temporary directory, its name starting with `prefix`.
std::filesystem::path make_temp_dir(const std::string& prefix);

}  // namespace kelvra::testing
