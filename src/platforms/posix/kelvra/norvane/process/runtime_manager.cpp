#include "kelvra/norvane/process/runtime_manager.hpp"

#include <spdlog/spdlog.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kelvra/norvane/process/child_terminated_exception.hpp"

namespace kelvra {
namespace {

// Closes the descriptors from `first` to `last`, both included.
void close_descriptors(unsigned first, unsigned last) {
    if (first > last || close_range(first, last, 0) == 0) return;
    // Kernels before close_range: one by one, up to the highest a descriptor can have.
    const long open_max = sysconf(_SC_OPEN_MAX);
    const unsigned limit = open_max > 0 ? static_cast<unsigned>(open_max) - 1 : 65535;
    for (unsigned fd = first; fd <= std::min(last, limit); ++fd) close(static_cast<int>(fd));
}

// Closes every descriptor above standard error except those in `keep`.
void close_inherited_descriptors(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned first = 3;
    for (const int fd : keep) {
        if (fd < 0 || static_cast<unsigned>(fd) < first) continue;
        if (static_cast<unsigned>(fd) > first)
            close_descriptors(first, static_cast<unsigned>(fd) - 1);
        first = static_cast<unsigned>(fd) + 1;
    }
    close_descriptors(first, ~0U);
}

}  // namespace

RuntimeManager::RuntimeManager(const Clock& clock) : clock_(clock) {
    sigemptyset(&signal_mask_);
    sigaddset(&signal_mask_, SIGCHLD);
    sigaddset(&signal_mask_, SIGINT);
    sigaddset(&signal_mask_, SIGTERM);
    sigfillset(&all_signals_);

    signal_fd_.reset(signalfd(-1, &signal_mask_, 0));
    if (!signal_fd_) {
        spdlog::critical("Failed to create signalfd!");
        std::exit(1);
    }
    // Blocking everything, not only the three signals read above, keeps any signal from
    // interrupting the loop: a write to a peer that has gone away fails instead of raising
    // SIGPIPE.
    if (sigprocmask(SIG_BLOCK, &all_signals_, nullptr) != 0) {
        spdlog::critical("Failed to block signals!");
        std::exit(1);
    }
}

RuntimeManager::~RuntimeManager() = default;

void RuntimeManager::set_pollfd(pollfd& entry) const {
    entry.fd = signal_fd_.get();
    entry.events = POLLIN;
    entry.revents = 0;
}

int RuntimeManager::spawn_session_process(std::unique_ptr<ChildProcess> process) {
    // The child must not inherit (and later write out again) output still buffered here.
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close_inherited_descriptors(process->kept_descriptors());
        const sigset_t keep_blocked = process->signals_blocked_at_start();
        if (sigprocmask(SIG_SETMASK, &keep_blocked, nullptr) != 0) {
            spdlog::critical("Failed to unblock signals for session process!");
            throw ChildTerminatedException(1);
        }
        throw ChildTerminatedException(process->main());
    }
    if (pid < 0) return pid;

    spdlog::info("Spawned session with pid {}", pid);
    children_.push_back(ChildContext{pid, 0, false, process->terminated_on_stop()});
    return pid;
}

bool RuntimeManager::terminate_session(int pid) {
    const auto child = find_child(pid);
    if (child == children_.end()) {
        spdlog::warn("Process with pid {} not found", pid);
        return false;
    }
    if (child->deadline_us != 0) {
        spdlog::warn("Process with pid {} is already terminating!", pid);
        return false;
    }
    child->deadline_us = clock_.now_us() + kTerminateGraceUs;
    kill(pid, SIGTERM);
    return true;
}

void RuntimeManager::update(const pollfd& entry) {
    if (!should_run_) return;

    const int64_t now = clock_.now_us();
    if ((entry.revents & POLLIN) != 0) handle_signal_events(now);
    escalate_overdue_children(now);

    if (shutdown_deadline_us_ == 0) return;
    if (children_.empty()) {
        should_run_ = false;
    } else if (shutdown_deadline_us_ < now) {
        spdlog::critical("Not all the children terminated!");
        should_run_ = false;
    }
}

void RuntimeManager::handle_signal_events(int64_t now) {
    signalfd_siginfo info{};
    if (read(signal_fd_.get(), &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) {
        spdlog::critical("Failed to read from signal fd!");
        std::exit(1);
    }

    switch (info.ssi_signo) {
        case SIGINT:
        case SIGTERM:
            spdlog::debug("Got SIGTERM || SIGINT");
            for (ChildContext& child : children_) {
                if (child.deadline_us != 0) continue;
                child.deadline_us = now + kTerminateGraceUs;
                if (child.terminated_on_stop) kill(child.pid, SIGTERM);
            }
            shutdown_deadline_us_ = now + kShutdownGraceUs;
            break;
        case SIGCHLD:
            spdlog::info("Got SIGCHLD");
            handle_child_signal(static_cast<int>(info.ssi_pid));
            break;
        default:
            spdlog::warn("Unexpected signal {}", info.ssi_signo);
            break;
    }
}

void RuntimeManager::handle_child_signal(int sender_pid) {
    // The kernel keeps at most one SIGCHLD pending, so children that end together leave a single
    // record naming one of them: every finished child is reaped here, not only the sender.
    if (reap_finished_children(sender_pid)) {
        forget_recently_reaped(sender_pid);
        return;
    }
    // Still listed: the sender stopped or continued rather than ended.
    if (find_child(sender_pid) != children_.end()) return;
    // An earlier sweep, or giving up on its SIGCHLD, already reaped and reported it.
    if (forget_recently_reaped(sender_pid)) return;
    handle_session_terminate(sender_pid);
}

bool RuntimeManager::reap_finished_children(int sender_pid) {
    bool sender_reaped = false;
    for (size_t i = 0; i < children_.size();) {
        const int pid = children_[i].pid;
        const pid_t result = waitpid(pid, nullptr, WNOHANG);
        if (result == 0) {
            ++i;
            continue;
        }
        children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
        if (result == pid) {
            report_reaped(pid);
            sender_reaped = sender_reaped || pid == sender_pid;
        } else {
            // No longer a child of this process at all; keeping it listed would only hold up
            // the shutdown until its deadline.
            spdlog::error("waitpid fail for pid {}!", pid);
        }
    }
    for (size_t i = 0; i < abandoned_.size();) {
        const int pid = abandoned_[i];
        const pid_t result = waitpid(pid, nullptr, WNOHANG);
        if (result == 0) {
            ++i;
            continue;
        }
        abandoned_.erase(abandoned_.begin() + static_cast<std::ptrdiff_t>(i));
        if (result == pid) {
            report_reaped(pid);
            sender_reaped = sender_reaped || pid == sender_pid;
        }
    }
    return sender_reaped;
}

void RuntimeManager::handle_session_terminate(int pid) {
    const auto child = find_child(pid);
    const bool listed = child != children_.end();
    if (listed) {
        children_.erase(child);
    } else {
        spdlog::error("Child {} not found!", pid);
    }
    const pid_t result = waitpid(pid, nullptr, WNOHANG);
    if (result == pid) {
        report_reaped(pid);
        return;
    }
    spdlog::error("waitpid fail for pid {}!", pid);
    if (listed && result == 0) abandoned_.push_back(pid);
}

void RuntimeManager::escalate_overdue_children(int64_t now) {
    for (size_t i = 0; i < children_.size();) {
        ChildContext& child = children_[i];
        if (child.deadline_us == 0 || child.deadline_us >= now) {
            ++i;
        } else if (!child.killed) {
            spdlog::warn("Kill hanging child: {}", child.pid);
            kill(child.pid, SIGKILL);
            child.killed = true;
            child.deadline_us = now + kKillGraceUs;
            ++i;
        } else {
            // Erases the entry, so the next child moves into place `i`.
            spdlog::warn("Missing SIGCHILD for session {}!", child.pid);
            handle_session_terminate(child.pid);
        }
    }
}

void RuntimeManager::report_reaped(int pid) {
    spdlog::info("Child {} terminated.", pid);
    recently_reaped_[next_recently_reaped_] = pid;
    next_recently_reaped_ = (next_recently_reaped_ + 1) % recently_reaped_.size();
    if (handler_ != nullptr) handler_->on_process_finished(pid);
}

bool RuntimeManager::forget_recently_reaped(int pid) {
    if (pid <= 0) return false;
    const auto found = std::find(recently_reaped_.begin(), recently_reaped_.end(), pid);
    if (found == recently_reaped_.end()) return false;
    *found = 0;
    return true;
}

std::vector<RuntimeManager::ChildContext>::iterator RuntimeManager::find_child(int pid) {
    return std::find_if(children_.begin(), children_.end(),
                        [pid](const ChildContext& child) { return child.pid == pid; });
}

}  // namespace kelvra
