#include "support/process_runner.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace kelvra::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr ProcessRunner::Duration kPumpSlice{10};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Read end non-blocking: output is collected while the test waits for other things.
Pipe make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::optional<uint64_t> blocked_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return std::nullopt;
}

uint16_t free_port(int type) {
    sockaddr_in address;
    loopback_socket(type, address);
    return ntohs(address.sin_port);
}

}  // namespace

std::string ExitStatus::describe() const {
    if (exited) return "exit status " + std::to_string(code);
    return "killed by signal " + std::to_string(signal);
}

ProcessRunner::ProcessRunner(const std::string& program, const std::vector<std::string>& args) {
    Pipe out = make_pipe();
    Pipe err = make_pipe();

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
    // The test process may have blocked or ignored signals (a supervisor under test blocks them
    // all); the program must start as it would from a shell.
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigset_t all_signals;
    sigfillset(&all_signals);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &all_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv_storage{program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int result =
        posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(result));
    }
    out_fd_ = std::move(out.read);
    err_fd_ = std::move(err.read);
}

ProcessRunner::~ProcessRunner() {
    if (!running()) return;
    kill(pid_, SIGKILL);
    reap(/*block=*/true);
}

bool ProcessRunner::send_signal(int signal) {
    return running() && kill(pid_, signal) == 0;
}

std::optional<ExitStatus> ProcessRunner::wait(Duration timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (running() && SteadyClock::now() < deadline) pump(kPumpSlice);
    return status_;
}

bool ProcessRunner::wait_for_output(std::string_view text, Duration timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (true) {
        drain();
        if (out_.find(text) != std::string::npos || err_.find(text) != std::string::npos) {
            return true;
        }
        if (!running() || SteadyClock::now() >= deadline) return false;
        pump(kPumpSlice);
    }
}

bool ProcessRunner::wait_for_blocked_signal(int signal, Duration timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    const uint64_t bit = uint64_t{1} << (signal - 1);
    while (running() && SteadyClock::now() < deadline) {
        const auto mask = blocked_signals(pid_);
        if (mask && (*mask & bit) != 0) return true;
        pump(kPumpSlice);
    }
    return false;
}

void ProcessRunner::pump(Duration slice) {
    pollfd entries[2] = {{out_fd_.get(), POLLIN, 0}, {err_fd_.get(), POLLIN, 0}};
    poll(entries, 2, static_cast<int>(slice.count()));
    drain();
    reap(/*block=*/false);
    // Everything the process wrote before it ended is in the pipes by now.
    if (!running()) drain();
}

void ProcessRunner::drain() {
    while (read_available(out_fd_, out_) || read_available(err_fd_, err_)) {
    }
}

bool ProcessRunner::read_available(UniqueFd& fd, std::string& into) {
    if (!fd) return false;
    char buffer[4096];
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) fd.reset();
    return false;
}

void ProcessRunner::reap(bool block) {
    int status = 0;
    pid_t result;
    do {
        result = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != pid_) return;
    status_ = ExitStatus{WIFEXITED(status) != 0, WIFEXITED(status) ? WEXITSTATUS(status) : 0,
                         WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          ProcessRunner::Duration timeout) {
    ProcessRunner runner(program, args);
    const auto status = runner.wait(timeout);
    return {status, runner.out(), runner.err()};
}

UniqueFd loopback_socket(int type, sockaddr_in& address) {
    UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd) throw std::runtime_error("socket failed");
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("binding a free port failed");
    }
    return fd;
}

uint16_t free_udp_port() {
    return free_port(SOCK_DGRAM);
}
uint16_t free_tcp_port() {
    return free_port(SOCK_STREAM);
}

std::filesystem::path make_temp_dir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

}  // namespace kelvra::testing
