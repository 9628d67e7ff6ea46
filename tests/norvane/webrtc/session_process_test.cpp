// The session child's loop, run for real in a forked child: frames on its input pipe reach the
// media session whole and in order, and SIGTERM ends it with status 0.

#include "kelvra/norvane/webrtc/session_process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "kelvra/msgs/video/messgen.hpp"
#include "kelvra/norvane/process/child_terminated_exception.hpp"
#include "kelvra/norvane/process/runtime_manager.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra {
namespace {

using Bytes = std::vector<uint8_t>;

// Reports every call as one line on a pipe the test reads.
class ReportingSession final : public GstSession {
public:
    explicit ReportingSession(int report_fd) : report_fd_(report_fd) {}
    void start(GMainLoop*) override { report("start"); }
    void stop() override { report("stop"); }
    void feed_message(const messgen::MessageInfo& info) override {
        report(std::to_string(info.type_id) + ":" + std::to_string(info.size) + ":" +
               (info.size > 0 ? std::to_string(info.payload[info.size - 1]) : "-"));
    }

private:
    void report(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t n = write(report_fd_, text.data(), text.size());
    }
    int report_fd_;
};

Bytes frame(uint8_t type, uint32_t payload_size) {
    Bytes out(messgen::kFrameHeaderSize + payload_size, 0);
    out[0] = type;
    messgen::store_le<uint32_t>(out.data() + 1, payload_size);
    for (uint32_t i = 0; i < payload_size; ++i) out[5 + i] = static_cast<uint8_t>(i);
    return out;
}

class SessionChild : public ::testing::Test {
protected:
    void SetUp() override {
        int input[2];
        int report[2];
        ASSERT_EQ(pipe2(input, O_NONBLOCK), 0);
        ASSERT_EQ(pipe(report), 0);
        input_read_.reset(input[0]);
        input_write_.reset(input[1]);
        report_read_.reset(report[0]);
        report_write_.reset(report[1]);
        auto process = std::make_unique<SessionProcess>(
            input_read_.get(), std::make_unique<ReportingSession>(report_write_.get()),
            spdlog::level::off, "WebRTCSession");
        process->keep_open({input_write_.get(), report_write_.get()});
        try {
            pid_ = manager_.spawn_session_process(std::move(process));
        } catch (const ChildTerminatedException& e) {
            _exit(e.code);
        }
        ASSERT_GT(pid_, 0);
        input_read_.reset();
        report_write_.reset();
    }

    void send(const Bytes& bytes) {
        ASSERT_EQ(write(input_write_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next line the session reported (empty after a time-out).
    std::string next_report() {
        std::string line;
        char c = 0;
        pollfd entry{report_read_.get(), POLLIN, 0};
        while (poll(&entry, 1, 10000) == 1 && read(report_read_.get(), &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    // After SIGTERM: the loop stops the session and the child ends with status 0.
    void expect_clean_end() {
        EXPECT_EQ(next_report(), "stop");
        int status = 0;
        EXPECT_EQ(waitpid(pid_, &status, 0), pid_);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    RuntimeManager manager_;
    UniqueFd input_read_;
    UniqueFd input_write_;
    UniqueFd report_read_;
    UniqueFd report_write_;
    int pid_ = -1;
};

TEST_F(SessionChild, FramesAreFedWholeInOrderAcrossReads) {
    ASSERT_EQ(next_report(), "start");
    const Bytes third = frame(10, 300);
    send(testing::concat({frame(10, 3), frame(8, 1), Bytes(third.begin(), third.begin() + 3)}));
    EXPECT_EQ(next_report(), "10:3:2");
    EXPECT_EQ(next_report(), "8:1:0");

    // A header alone is not enough; the frame is fed once its last byte is there.
    send(Bytes(third.begin() + 3, third.end() - 1));
    send(Bytes(third.end() - 1, third.end()));
    EXPECT_EQ(next_report(), "10:300:43");
    send(frame(9, 0));
    EXPECT_EQ(next_report(), "9:0:-");
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    expect_clean_end();
}

TEST_F(SessionChild, SigtermRightAfterTheForkStillEndsThroughTheLoop) {
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(next_report(), "start");
    expect_clean_end();
}

// The child inherits every descriptor of its session, the write end of its input among them,
// so the gateway closing its copy is no end of file: sessions end by SIGTERM only.
TEST_F(SessionChild, ClosingTheGatewaysWriteEndDoesNotEndTheChild) {
    ASSERT_EQ(next_report(), "start");
    send(frame(10, 4));
    EXPECT_EQ(next_report(), "10:4:3");
    input_write_.reset();
    int status = 0;
    EXPECT_EQ(waitpid(pid_, &status, WNOHANG), 0);
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    expect_clean_end();
}

}  // namespace
}  // namespace kelvra
