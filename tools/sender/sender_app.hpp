#pragma once

// The sender simulator's run: one poll loop that paces the frames, releases delayed datagrams,
// serves retransmission requests and stops on SIGINT/SIGTERM, the end of the source or the
// configured run length.

#include <cstdio>
#include <memory>
#include <vector>

#include "frame_history.hpp"
#include "frame_source.hpp"
#include "iv_source.hpp"
#include "ivf_file_writer.hpp"
#include "kelvra/core/time.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "sender_options.hpp"
#include "stream_sender.hpp"
#include "udp_socket.hpp"

namespace kelvra::norvane::sender {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitSetupFailed = 1;
constexpr int kExitNoStats = 2;

class SenderApp {
public:
    SenderApp(const SenderOptions& options, const Clock& clock);

    // Runs to the end and prints the summary on stdout; returns the exit status.
    int run();

private:
    struct Stream {
        std::unique_ptr<StreamSender> sender;
        UdpSocket socket;
    };

    bool set_up();
    void send_next_frame(int64_t now_us);
    void receive(Stream& stream, int64_t now_us);
    void print_summary(int64_t elapsed_us) const;
    StreamCounters totals() const;

    SenderOptions options_;
    const Clock& clock_;
    UniqueFd signals_;
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<IvfFileWriter> ivf_out_;
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> frame_times_;
    std::unique_ptr<FrameHistory> history_;
    RandomIvSource ivs_;
    std::vector<Stream> streams_;
    double fps_ = 30.0;
    uint32_t next_frame_number_ = 0;
    uint64_t frames_read_ = 0;
    bool source_done_ = false;
};

}  // namespace kelvra::norvane::sender
