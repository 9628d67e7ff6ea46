#pragma once

#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "kelvra/norvane/process/session_process.hpp"

namespace kelvra {

class RuntimeManagerHandler {
public:
    virtual ~RuntimeManagerHandler() = default;
    // A child has been reaped.
    virtual void on_process_finished(int pid) = 0;
};

// Supervises the parent's child processes and owns its signal handling: every signal is blocked
// and SIGINT, SIGTERM and SIGCHLD are read from a signal descriptor polled by the main loop.
class RuntimeManager {
public:
    struct ChildContext {
        int pid = 0;
        int64_t deadline_us = 0;  // 0: no termination requested
        bool killed = false;
    };

    // Ends the process with status 1 when the signal descriptor cannot be set up.
    RuntimeManager();
    ~RuntimeManager();
    RuntimeManager(const RuntimeManager&) = delete;
    RuntimeManager& operator=(const RuntimeManager&) = delete;

    bool should_run() const { return should_run_; }
    void set_pollfd(pollfd& entry) const;
    void set_handler(RuntimeManagerHandler* handler) { handler_ = handler; }

    // Forks; returns the child's pid, or the negative result of fork. Never returns in the
    // child: it leaves by ChildTerminatedException carrying the session's result.
    int spawn_session_process(std::unique_ptr<SessionProcess> process);
    // Sends SIGTERM and gives the child one second before SIGKILL.
    bool terminate_session(int pid);
    // Per-turn step: reads a pending signal, reaps, escalates overdue terminations.
    void update(const pollfd& entry);

    const std::vector<ChildContext>& children() const { return children_; }

private:
    void handle_signal_events(int64_t now);
    void handle_session_terminate(int pid);
    void reap_finished_children();

    std::vector<ChildContext> children_;
    sigset_t signal_mask_{};
    sigset_t all_signals_{};
    int signal_fd_ = -1;
    int64_t shutdown_deadline_us_ = 0;
    bool should_run_ = true;
    RuntimeManagerHandler* handler_ = nullptr;
};

}  // namespace kelvra
