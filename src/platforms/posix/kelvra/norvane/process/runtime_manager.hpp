#pragma once

#include <poll.h>
#include <signal.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kelvra/core/time.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "kelvra/norvane/process/child_process.hpp"

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
        bool terminated_on_stop = false;  // gets SIGTERM as soon as the parent stops
    };

    static constexpr int64_t kTerminateGraceUs = 1'000'000;  // SIGTERM (or stop) to SIGKILL
    static constexpr int64_t kKillGraceUs = 1'000'000;       // SIGKILL to giving up on SIGCHLD
    static constexpr int64_t kShutdownGraceUs = 2'000'000;   // stop signal to leaving the loop

    // Blocks every signal in the calling thread. Ends the process with status 1 when the signal
    // descriptor cannot be set up. The mask is not restored on destruction: a stop signal that
    // arrives late must stay pending instead of killing a process that is already ending.
    explicit RuntimeManager(const Clock& clock = monotonic_clock());
    ~RuntimeManager();
    RuntimeManager(const RuntimeManager&) = delete;
    RuntimeManager& operator=(const RuntimeManager&) = delete;

    bool should_run() const { return should_run_; }
    // A stop signal has come: the children are ending.
    bool stopping() const { return shutdown_deadline_us_ != 0; }
    void set_pollfd(pollfd& entry) const;
    void set_handler(RuntimeManagerHandler* handler) { handler_ = handler; }

    // Forks; returns the child's pid, or the negative result of fork. Never returns in the
    // child: it leaves by ChildTerminatedException carrying the session's result.
    int spawn_session_process(std::unique_ptr<ChildProcess> process);
    // Sends SIGTERM and gives the child one second before SIGKILL.
    bool terminate_session(int pid);
    // Per-turn step: reads a pending signal, reaps, escalates overdue terminations.
    void update(const pollfd& entry);

    const std::vector<ChildContext>& children() const { return children_; }
    // Whether a child is being ended, with a deadline the loop must not sleep past.
    bool has_deadlines() const {
        for (const ChildContext& child : children_) {
            if (child.deadline_us != 0) return true;
        }
        return false;
    }

private:
    void handle_signal_events(int64_t now);
    void handle_child_signal(int sender_pid);
    void handle_session_terminate(int pid);
    bool reap_finished_children(int sender_pid);
    void escalate_overdue_children(int64_t now);
    void report_reaped(int pid);
    bool forget_recently_reaped(int pid);
    std::vector<ChildContext>::iterator find_child(int pid);

    std::vector<ChildContext> children_;
    sigset_t signal_mask_{};
    sigset_t all_signals_{};
    UniqueFd signal_fd_;
    int64_t shutdown_deadline_us_ = 0;
    bool should_run_ = true;
    RuntimeManagerHandler* handler_ = nullptr;
    const Clock& clock_;
    // Children reaped before their own SIGCHLD record was read (a sweep caught them, or they
    // were given up on); their record, if it still comes, is then expected and not an error.
    std::array<int, 32> recently_reaped_{};
    size_t next_recently_reaped_ = 0;
    // Children given up on (no SIGCHLD within a second of SIGKILL) that were still not
    // reapable then; they are reaped and reported once they finally end.
    std::vector<int> abandoned_;
};

}  // namespace kelvra
