#include "kelvra/norvane/webrtc/session_process.hpp"

#include <glib-unix.h>
#include <gst/gst.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

#include "kelvra/msgs/video/messgen.hpp"
#include "kelvra/norvane/process/child_exit.hpp"

namespace kelvra {

SessionProcess::SessionProcess(int input_fd, std::unique_ptr<GstSession> session,
                               spdlog::level::level_enum log_level, std::string_view name)
    : input_fd_(input_fd),
      session_(std::move(session)),
      log_level_(log_level),
      name_(name),
      parent_pid_(getpid()) {}

SessionProcess::~SessionProcess() {
    remove_watches();
}

int SessionProcess::main() {
    init();
    g_main_loop_run(main_loop_.get());
    deinit();
    return 0;
}

std::vector<int> SessionProcess::kept_descriptors() const {
    std::vector<int> kept = kept_descriptors_;
    kept.push_back(input_fd_);
    return kept;
}

sigset_t SessionProcess::signals_blocked_at_start() const {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    return blocked;
}

void SessionProcess::init() {
    spdlog::set_pattern(name_ + " [%P] [%L]: %v", spdlog::pattern_time_type::local);
    spdlog::set_level(log_level_);
    spdlog::flush_on(log_level_);

    // A gateway that dies without stopping its children (SIGKILL, a crash) must not leave
    // sessions running for ever, holding its ports and streaming to nobody.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent_pid_) {
        spdlog::critical("Gateway ended before the session started");
        end_child_process(1);
    }

    input_buffer_ = std::make_unique_for_overwrite<uint8_t[]>(kInputBufferSize);
    gst_init(nullptr, nullptr);
    main_loop_.reset(g_main_loop_new(nullptr, FALSE));
    if (!main_loop_) {
        spdlog::critical("Failed to create main loop");
        end_child_process(1);
    }
    input_watch_ = g_unix_fd_add(input_fd_, G_IO_IN, on_channel_data_static, this);
    sigterm_watch_ = g_unix_signal_add(SIGTERM, on_sigterm_static, this);
    sigset_t sigterm = signals_blocked_at_start();
    sigprocmask(SIG_UNBLOCK, &sigterm, nullptr);
    session_->start(main_loop_.get());
}

void SessionProcess::deinit() {
    session_->stop();
    remove_watches();
    main_loop_.reset();
}

void SessionProcess::remove_watches() {
    if (input_watch_ != 0) g_source_remove(input_watch_);
    if (sigterm_watch_ != 0) g_source_remove(sigterm_watch_);
    input_watch_ = 0;
    sigterm_watch_ = 0;
}

gboolean SessionProcess::on_channel_data_static(gint fd, GIOCondition condition, gpointer self) {
    return static_cast<SessionProcess*>(self)->on_channel_data(fd, condition);
}

gboolean SessionProcess::on_channel_data(gint fd, GIOCondition condition) {
    if (condition != G_IO_IN) {
        spdlog::critical("Unexpected condition {}", static_cast<unsigned>(condition));
        end_child_process(1);
    }
    const size_t room = kInputBufferSize - input_size_;
    const ssize_t got = room > 0 ? ::read(fd, input_buffer_.get() + input_size_, room) : 0;
    if (got <= 0) {
        spdlog::error("Failed to read from pipe");
        end_child_process(1);
    }
    input_size_ += static_cast<size_t>(got);
    input_size_ = feed_frames(input_buffer_.get(), input_size_, *session_);
    return TRUE;
}

size_t SessionProcess::feed_frames(uint8_t* buffer, size_t size, GstSession& session) {
    const size_t consumed = messgen::walk_frames(
        buffer, size, [&session](const messgen::MessageInfo& info) { session.feed_message(info); });
    // An incomplete frame moves to the front and waits for its rest.
    std::memmove(buffer, buffer + consumed, size - consumed);
    return size - consumed;
}

gboolean SessionProcess::on_sigterm_static(gpointer self) {
    return static_cast<SessionProcess*>(self)->on_sigterm();
}

gboolean SessionProcess::on_sigterm() {
    spdlog::info("Got SIGTERM");
    g_main_loop_quit(main_loop_.get());
    return TRUE;
}

}  // namespace kelvra
