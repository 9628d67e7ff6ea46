#include "kelvra/norvane/process/runtime_manager.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelvra/norvane/process/child_terminated_exception.hpp"
#include "support/log_capture.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;

constexpr auto kProcessDeadline = 10s;  // generous: the machine may be busy

class ScriptedSession final : public ChildProcess {
public:
    ScriptedSession(std::function<int()> body, std::vector<int> kept)
        : body_(std::move(body)), kept_(std::move(kept)) {}
    int main() override { return body_(); }
    std::vector<int> kept_descriptors() const override { return kept_; }

private:
    std::function<int()> body_;
    std::vector<int> kept_;
};

struct RecordingHandler final : RuntimeManagerHandler {
    void on_process_finished(int pid) override { finished.push_back(pid); }
    int reports_of(int pid) const {
        return static_cast<int>(std::count(finished.begin(), finished.end(), pid));
    }
    std::vector<int> finished;
};

[[noreturn]] int wait_for_any_signal() {
    for (;;) pause();
}

// Exit information of a child that has ended, read without reaping it, so that the manager
// still finds it to reap.
siginfo_t wait_until_ended(int pid) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessDeadline;
    siginfo_t info{};
    while (std::chrono::steady_clock::now() < deadline) {
        info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return info;
        }
        std::this_thread::sleep_for(1ms);
    }
    ADD_FAILURE() << "child " << pid << " did not end";
    return info;
}

class RuntimeManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The manager blocks every signal of this thread; other tests must find them as before.
        pthread_sigmask(SIG_SETMASK, nullptr, &saved_mask_);
        manager_ = std::make_unique<RuntimeManager>(clock_);
        manager_->set_handler(&handler_);
    }

    void TearDown() override {
        EXPECT_EQ(log_.count_level("error"), 0) << log_.text();
        manager_.reset();
        for (int pid : spawned_) {
            if (waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        // Signals raised by the test or sent by the children, still pending, must not hit
        // the test program once unblocked.
        sigset_t pending;
        sigemptyset(&pending);
        for (int signal : {SIGCHLD, SIGINT, SIGTERM}) sigaddset(&pending, signal);
        const timespec no_wait{};
        while (sigtimedwait(&pending, nullptr, &no_wait) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
    }

    // Forks a child running `body`. The child leaves through the exception at this point, as
    // it would through program entry, and never comes back into the test.
    int spawn(std::function<int()> body, std::vector<int> kept = {}) {
        int pid = -1;
        try {
            pid = manager_->spawn_session_process(
                std::make_unique<ScriptedSession>(std::move(body), std::move(kept)));
        } catch (const ChildTerminatedException& e) {
            _exit(e.code);
        }
        EXPECT_GT(pid, 0);
        spawned_.push_back(pid);
        return pid;
    }

    // A child that ignores SIGTERM; returns once it does.
    int spawn_ignoring_sigterm() {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        const int pid = spawn(
            [&ready] {
                signal(SIGTERM, SIG_IGN);
                (void)!write(ready[1], "r", 1);
                return wait_for_any_signal();
            },
            {ready[1]});
        close(ready[1]);
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        return pid;
    }

    // One turn of a main loop: waits up to `wait_ms` for a signal, then updates. Without a
    // wait, the signal descriptor is not reported readable in this turn.
    void turn(int wait_ms = -1) {
        pollfd entry{};
        manager_->set_pollfd(entry);
        if (wait_ms >= 0) poll(&entry, 1, wait_ms);
        manager_->update(entry);
    }

    template <typename Condition>
    bool turn_until(Condition done) {
        const auto deadline = std::chrono::steady_clock::now() + kProcessDeadline;
        while (!done() && std::chrono::steady_clock::now() < deadline) turn(10);
        return done();
    }

    int logged(const char* level, const char* format, int pid) const {
        return log_.count(level, fmt::format(fmt::runtime(format), pid));
    }

    testing::LogCapture log_;
    ManualClock clock_;
    RecordingHandler handler_;
    std::unique_ptr<RuntimeManager> manager_;
    std::vector<int> spawned_;
    sigset_t saved_mask_{};
};

TEST_F(RuntimeManagerTest, TerminatedChildIsReapedAndReportedOnceThenAStopSignalStops) {
    EXPECT_FALSE(manager_->terminate_session(999'999));
    EXPECT_EQ(log_.count("warning", "Process with pid 999999 not found"), 1);

    const int pid = spawn(wait_for_any_signal);
    ASSERT_TRUE(manager_->terminate_session(pid));
    EXPECT_EQ(manager_->children()[0].deadline_us, clock_.now_us() + 1'000'000);
    clock_.advance(500'000);
    EXPECT_FALSE(manager_->terminate_session(pid));
    EXPECT_EQ(logged("warning", "Process with pid {} is already terminating!", pid), 1);
    EXPECT_EQ(manager_->children()[0].deadline_us, clock_.now_us() + 500'000) << "not extended";

    ASSERT_TRUE(turn_until([&] { return !handler_.finished.empty(); }));
    for (int i = 0; i < 3; ++i) turn(20);
    EXPECT_EQ(handler_.finished, std::vector<int>{pid});
    EXPECT_TRUE(manager_->children().empty());
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "the manager should have reaped it";
    EXPECT_FALSE(manager_->terminate_session(pid));
    EXPECT_TRUE(manager_->should_run());

    // With no children left, a stop signal stops in the same turn; then nothing more is read.
    raise(SIGINT);
    turn(1000);
    EXPECT_FALSE(manager_->should_run());
    raise(SIGTERM);
    turn(100);
    EXPECT_EQ(log_.count("debug", "Got SIGTERM || SIGINT"), 1);
}

TEST_F(RuntimeManagerTest, ChildrenIgnoringSigtermAreKilledAndALateSigchldIsNotReportedTwice) {
    const int first = spawn_ignoring_sigterm();
    const int second = spawn_ignoring_sigterm();
    ASSERT_TRUE(manager_->terminate_session(first));
    ASSERT_TRUE(manager_->terminate_session(second));
    clock_.advance(1'000'000);
    turn();
    EXPECT_FALSE(manager_->children()[0].killed) << "not overdue yet";
    clock_.advance(1);
    turn();
    ASSERT_EQ(manager_->children().size(), 2u);
    EXPECT_TRUE(manager_->children()[0].killed);
    EXPECT_EQ(manager_->children()[0].deadline_us, clock_.now_us() + 1'000'000);
    EXPECT_EQ(logged("warning", "Kill hanging child: {}", first), 1);
    for (int pid : {first, second}) EXPECT_EQ(wait_until_ended(pid).si_status, SIGKILL);

    // Their SIGCHLD is pending but not read in this turn: both neighbours go in one scan.
    clock_.advance(1'000'001);
    turn();
    EXPECT_TRUE(manager_->children().empty());
    EXPECT_EQ(logged("warning", "Missing SIGCHILD for session {}!", first), 1);
    EXPECT_EQ(logged("warning", "Missing SIGCHILD for session {}!", second), 1);
    EXPECT_EQ(handler_.reports_of(first), 1);
    EXPECT_EQ(handler_.reports_of(second), 1);

    // The late SIGCHLD then names a child that is already gone and reported.
    turn(100);
    turn(20);
    EXPECT_EQ(handler_.finished.size(), 2u);
}

TEST_F(RuntimeManagerTest, ChildrenEndingTogetherAreAllReapedOnOneSignal) {
    std::vector<int> pids;
    for (int i = 0; i < 4; ++i) pids.push_back(spawn([i] { return 10 + i; }));
    // All have ended before the manager reads anything, so their SIGCHLDs are merged into
    // one pending signal naming one of them.
    for (int i = 0; i < 4; ++i) {
        const siginfo_t end = wait_until_ended(pids[i]);
        EXPECT_EQ(end.si_code, CLD_EXITED);
        EXPECT_EQ(end.si_status, 10 + i) << "child " << i;
    }
    turn(1000);
    EXPECT_TRUE(manager_->children().empty());
    turn(50);
    EXPECT_EQ(handler_.finished.size(), 4u);
    for (int pid : pids) EXPECT_EQ(handler_.reports_of(pid), 1) << "child " << pid;
}

TEST_F(RuntimeManagerTest, StopSignalGivesChildrenASecondThenStopsWhenTheyAreGone) {
    const int first = spawn(wait_for_any_signal);
    const int second = spawn(wait_for_any_signal);
    const int64_t stop_time = clock_.now_us();
    raise(SIGTERM);
    turn(1000);
    EXPECT_TRUE(manager_->should_run());
    ASSERT_EQ(manager_->children().size(), 2u);
    for (const auto& child : manager_->children()) {
        EXPECT_EQ(child.deadline_us, stop_time + 1'000'000);
    }

    clock_.advance(1'000'001);
    turn();
    EXPECT_EQ(logged("warning", "Kill hanging child: {}", first), 1);
    EXPECT_EQ(logged("warning", "Kill hanging child: {}", second), 1);
    ASSERT_TRUE(turn_until([&] { return !manager_->should_run(); }));
    EXPECT_TRUE(manager_->children().empty());
    EXPECT_EQ(log_.count("critical", "Not all the children terminated!"), 0);
}

TEST_F(RuntimeManagerTest, ShutdownEndsAfterTwoSecondsEvenWithChildrenLeft) {
    const int pid = spawn_ignoring_sigterm();
    raise(SIGTERM);
    turn(1000);
    ASSERT_TRUE(manager_->should_run());
    clock_.advance(2'000'001);
    turn();
    EXPECT_FALSE(manager_->should_run());
    EXPECT_EQ(logged("warning", "Kill hanging child: {}", pid), 1);
    EXPECT_EQ(log_.count("critical", "Not all the children terminated!"), 1);
}

// A child keeps only the descriptors it names: the parent's sockets and other sessions' pipes
// must close when the parent closes them (or dies), not when the last child ends.
TEST_F(RuntimeManagerTest, ChildKeepsOnlyTheDescriptorsItNames) {
    int report[2];
    int unrelated[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(unrelated), 0);
    const int pid = spawn(
        [&report] {
            std::vector<int> listed;
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                listed.push_back(std::stoi(entry.path().filename().string()));
            }
            std::string open_fds;
            for (const int fd : listed) {
                if (fd > 2 && fcntl(fd, F_GETFD) != -1) open_fds += std::to_string(fd) + " ";
            }
            (void)!write(report[1], open_fds.data(), open_fds.size());
            return 0;
        },
        // A name that is no open descriptor leaves a gap of others to close below it.
        {report[1], unrelated[1] + 100});
    for (int fd : {report[1], unrelated[0], unrelated[1]}) close(fd);
    std::string seen(256, '\0');
    const ssize_t got = read(report[0], seen.data(), seen.size());
    close(report[0]);
    seen.resize(got > 0 ? static_cast<size_t>(got) : 0);
    // The directory listing itself is one descriptor more, closed by the time it is checked.
    EXPECT_EQ(seen, std::to_string(report[1]) + " ");
    EXPECT_TRUE(turn_until([&] { return handler_.reports_of(pid) == 1; }));
}

}  // namespace
}  // namespace kelvra
