#pragma once

#include <glib.h>
#include <spdlog/common.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/norvane/process/child_process.hpp"
#include "kelvra/norvane/webrtc/gst_ref.hpp"
#include "kelvra/norvane/webrtc/gst_session.hpp"

namespace kelvra {

// The main loop of a viewer's session child: frames from the gateway arrive on the input pipe
// and go to the media session; SIGTERM ends the loop. Built in the parent, where the
// constructor only stores its arguments; everything else happens in the child.
class SessionProcess final : public ChildProcess {
public:
    static constexpr size_t kInputBufferSize = 10'485'760;  // bytes, bounds the largest frame

    SessionProcess(int input_fd, std::unique_ptr<GstSession> session,
                   spdlog::level::level_enum log_level, std::string_view name);
    ~SessionProcess() override;
    SessionProcess(const SessionProcess&) = delete;
    SessionProcess& operator=(const SessionProcess&) = delete;

    // The other descriptors of its session the child keeps besides its input: the write end
    // of its input (so that the gateway closing its own copy is no end of file) and both ends
    // of the pipe to the gateway.
    void keep_open(std::vector<int> descriptors) { kept_descriptors_ = std::move(descriptors); }
    // A child that writes files ends them properly when the gateway stops.
    void set_terminated_on_stop(bool terminated) { terminated_on_stop_ = terminated; }
    bool terminated_on_stop() const override { return terminated_on_stop_; }

    int main() override;
    std::vector<int> kept_descriptors() const override;
    // SIGTERM waits until the loop handles it, so a session stopped right after its start
    // still ends through its loop, with status 0.
    sigset_t signals_blocked_at_start() const override;
    void init();
    void deinit();

    // One readiness report of the input pipe: reads once and feeds every complete frame. A
    // broken pipe ends the child.
    gboolean on_channel_data(gint fd, GIOCondition condition);
    gboolean on_sigterm();
    // Hands every complete frame at the front of `buffer` to `session` and moves the incomplete
    // rest to the front; returns the bytes left.
    static size_t feed_frames(uint8_t* buffer, size_t size, GstSession& session);

    GMainLoop* main_loop() const { return main_loop_.get(); }
    size_t buffered_bytes() const { return input_size_; }

private:
    static gboolean on_channel_data_static(gint fd, GIOCondition condition, gpointer self);
    static gboolean on_sigterm_static(gpointer self);
    void remove_watches();

    int input_fd_;
    std::vector<int> kept_descriptors_;
    bool terminated_on_stop_ = false;
    std::unique_ptr<GstSession> session_;
    spdlog::level::level_enum log_level_;
    std::string name_;
    pid_t parent_pid_;
    norvane::GMainLoopPtr main_loop_;
    // Reserved once by init(); never zero-filled, since every read would otherwise clear it.
    std::unique_ptr<uint8_t[]> input_buffer_;
    size_t input_size_ = 0;
    guint input_watch_ = 0;
    guint sigterm_watch_ = 0;
};

}  // namespace kelvra
