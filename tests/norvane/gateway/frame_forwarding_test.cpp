#include "kelvra/norvane/gateway/frame_forwarding.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "kelvra/msgs/video/messgen.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"
#include "support/log_capture.hpp"

namespace kelvra::norvane {
namespace {

// One released frame: its format, 'K' keyframe or 'd' delta, and its number as its only byte.
jitter::Frame released(uint8_t format, char kind, uint32_t number) {
    auto data = std::make_shared<uint8_t[]>(1);
    data[0] = static_cast<uint8_t>(number);
    return jitter::Frame{number, kind == 'K', std::move(data), 1, {}, format};
}

// What a session child reads from its pipe, as "<format><K|d><number>" per video_frame.
std::vector<std::string> read_frames(const DataPipe& pipe) {
    std::vector<uint8_t> bytes(1 << 16);
    const ssize_t n = ::read(pipe.read_end.get(), bytes.data(), bytes.size());
    std::vector<std::string> frames;
    if (n <= 0) return frames;
    messgen::OwnedArena arena(4096);
    messgen::walk_frames(
        bytes.data(), static_cast<size_t>(n), [&](const messgen::MessageInfo& info) {
            msgs::video::video_frame msg;
            arena.reset();
            EXPECT_GE(msg.parse(info, arena), 0);
            frames.push_back(std::to_string(msg.video_format) + (msg.keyframe ? "K" : "d") +
                             std::to_string(msg.payload.ptr[0]));
        });
    return frames;
}

struct Viewers {
    Viewers() {
        outgoing.reserve(1 << 16);  // serialisation never grows the buffer
        add_session();
    }
    // A viewer that joins now: the run since the latest keyframe first.
    const DataPipe& add_session() {
        pipes.push_back(create_data_pipe());
        WebrtcSession session;
        session.to_child_write = SessionPipeWriter(UniqueFd(dup(pipes.back().write_end.get())));
        send_catchup(stream, session, outgoing);
        stream.sessions.push_back(std::move(session));
        return pipes.back();
    }
    void forward(std::vector<jitter::Frame> frames) {
        forward_frames(stream, frames, outgoing, *spdlog::default_logger());
    }

    Stream stream{0xBEEF, 1, JitterBuffer()};
    std::deque<DataPipe> pipes;  // references stay valid as viewers join
    std::vector<uint8_t> outgoing;
    testing::LogCapture log;
};

// A drone, or anyone holding its key, that sends frames of another format must not make the
// viewers rebuild their pipelines until the new format can be decoded: from its first keyframe.
TEST(FrameForwarding, AnotherFormatWaitsForItsKeyframeAndRestartsTheRun) {
    Viewers viewers;
    viewers.forward({released(1, 'K', 1), released(1, 'd', 2), released(2, 'd', 3),
                     released(2, 'd', 4), released(1, 'd', 5), released(2, 'd', 6),
                     released(7, 'K', 7)});
    EXPECT_EQ(read_frames(viewers.pipes[0]), (std::vector<std::string>{"1K1", "1d2", "1d5"}));
    EXPECT_EQ(viewers.log.occurrences("Dropping frames of video format 2"), 1u)
        << viewers.log.text();
    EXPECT_EQ(viewers.log.occurrences("Dropping frames of video format 7"), 1u);

    viewers.forward({released(2, 'K', 8), released(2, 'd', 9), released(1, 'd', 10)});
    EXPECT_EQ(read_frames(viewers.pipes[0]), (std::vector<std::string>{"2K8", "2d9"}));
    EXPECT_EQ(viewers.log.occurrences("changes from 1 to 2"), 1u);
    // A viewer joining now starts from the new format's keyframe, not from older frames.
    const DataPipe& late = viewers.add_session();
    EXPECT_EQ(read_frames(late), (std::vector<std::string>{"2K8", "2d9"}));
}

TEST(FrameForwarding, ANewViewerGetsTheRunSinceTheLatestKeyframeThenLiveFrames) {
    Viewers viewers;
    viewers.forward({released(1, 'd', 1)});
    EXPECT_TRUE(read_frames(viewers.add_session()).empty());  // no keyframe yet: it waits

    viewers.forward(
        {released(1, 'K', 2), released(1, 'd', 3), released(1, 'K', 4), released(1, 'd', 5)});
    const DataPipe& joined = viewers.add_session();
    viewers.forward({released(1, 'd', 6)});
    EXPECT_EQ(read_frames(joined), (std::vector<std::string>{"1K4", "1d5", "1d6"}));
    EXPECT_EQ(read_frames(viewers.pipes[0]),
              (std::vector<std::string>{"1d1", "1K2", "1d3", "1K4", "1d5", "1d6"}));
}

// A recorder that falls behind misses whole frames; the frames after one it missed would not
// decode, so it gets nothing more up to the next keyframe: its file shows a gap, not garbage.
TEST(FrameForwarding, ARecorderThatMissedAFrameResumesAtAKeyframe) {
    Viewers viewers;
    DataPipe pipe = create_data_pipe();
    ASSERT_GE(fcntl(pipe.write_end.get(), F_SETPIPE_SZ, 4096), 0);  // room for one write
    viewers.stream.recorder.pid = 1;
    viewers.stream.recorder.pipe = SessionPipeWriter(UniqueFd(dup(pipe.write_end.get())));
    viewers.forward({released(1, 'K', 1), released(1, 'd', 2)});
    EXPECT_EQ(read_frames(pipe), (std::vector<std::string>{"1K1"}));
    viewers.forward({released(1, 'd', 3)});
    viewers.forward({released(1, 'K', 4)});
    EXPECT_EQ(read_frames(pipe), (std::vector<std::string>{"1K4"}));
    viewers.forward({released(1, 'd', 5)});
    EXPECT_EQ(read_frames(pipe), (std::vector<std::string>{"1d5"}));
    // The viewer lost nothing.
    EXPECT_EQ(read_frames(viewers.pipes[0]).size(), 5u);
}

}  // namespace
}  // namespace kelvra::norvane
