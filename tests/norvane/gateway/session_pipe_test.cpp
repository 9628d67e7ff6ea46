#include "kelvra/norvane/gateway/session_pipe.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "kelvra/msgs/video/messgen.hpp"
#include "support/log_capture.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane {
namespace {

using testing::Bytes;
using testing::concat;

Bytes frame(uint8_t type, size_t payload_size) {
    Bytes out(messgen::kFrameHeaderSize + payload_size, static_cast<uint8_t>(type + 1));
    out[0] = type;
    messgen::store_le<uint32_t>(out.data() + 1, static_cast<uint32_t>(payload_size));
    return out;
}

TEST(SessionPipe, CreatedNonBlockingWithTheSessionCapacity) {
    testing::LogCapture log;
    const DataPipe pipe = create_data_pipe();
    ASSERT_TRUE(pipe.ok) << log.text() << " (raise fs.pipe-max-size: scripts/setup.sh)";
    for (const UniqueFd* end : {&pipe.read_end, &pipe.write_end}) {
        EXPECT_NE(fcntl(end->get(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_GE(fcntl(end->get(), F_GETPIPE_SZ), kSessionPipeSize);
    }
}

// A child that stops reading loses whole frames, never parts of one. The kernel counts a
// pipe's room in pages, and each 10 kB frame starts pages of its own: a child that stops
// reading runs out of pages long before the bytes fill the pipe. What it reads later must still
// be whole frames, in order, and frames go through again once it has read.
TEST(SessionPipe, StalledChildReadsOnlyWholeFramesOnceItResumes) {
    testing::LogCapture log;
    DataPipe pipe = create_data_pipe();
    ASSERT_TRUE(pipe.ok) << log.text();
    SessionPipeWriter writer(std::move(pipe.write_end));
    Bytes frames(size_t{1} << 25);
    size_t received = 0;
    const auto read_some = [&](size_t most) {
        while (most > 0) {
            const ssize_t got = read(pipe.read_end.get(), frames.data() + received,
                                     std::min(most, frames.size() - received));
            if (got <= 0) return;
            received += static_cast<size_t>(got);
            most -= static_cast<size_t>(got);
        }
    };
    uint32_t next = 0;
    for (const size_t then_read : {size_t{5'000'003}, frames.size()}) {
        for (int i = 0; i < 2000; ++i, ++next) {
            Bytes out = frame(10, 10'295);
            messgen::store_le<uint32_t>(out.data() + messgen::kFrameHeaderSize, next);
            write_buffer_to_pipe(writer, out.data(), out.size());
        }
        read_some(then_read);
    }
    const int dropped = static_cast<int>(4000 - received / 10'300);
    EXPECT_EQ(log.count_level("error"), dropped) << received;
    EXPECT_EQ(log.count("error", "VideoReceiver, Failed to write data to pipe " +
                                     std::to_string(writer.get()) + ", message size: 10300"),
              dropped);
    ASSERT_EQ(messgen::complete_frames_length(frames.data(), received), received);
    std::vector<uint32_t> order;
    for (size_t at = 0; at < received; at += 10'300) {
        order.push_back(messgen::load_le<uint32_t>(frames.data() + at + messgen::kFrameHeaderSize));
    }
    EXPECT_GT(order.size(), 1300u);
    EXPECT_GE(order.back(), 2000u) << "nothing went through after the child read again";
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// A viewer's message is relayed as it came: one that is not whole frames would leave the
// child waiting for bytes that are in fact the next frames.
TEST(SessionPipe, BytesThatAreNotWholeFramesAreRefused) {
    testing::LogCapture log;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const UniqueFd read_end(fds[0]);
    SessionPipeWriter write_end{UniqueFd(fds[1])};
    Bytes announces_more = frame(8, 40);
    announces_more.resize(20);
    for (const Bytes& wrong : {announces_more, concat({frame(7, 10), Bytes{7, 1}}), Bytes{8}}) {
        write_buffer_to_pipe(write_end, wrong.data(), wrong.size());
    }
    EXPECT_EQ(log.count_level("error"), 3);
    const Bytes whole = concat({frame(7, 10), frame(8, 0)});
    write_buffer_to_pipe(write_end, whole.data(), whole.size());
    Bytes queued(256);
    const ssize_t got = read(read_end.get(), queued.data(), queued.size());
    ASSERT_EQ(got, static_cast<ssize_t>(whole.size()));
    queued.resize(static_cast<size_t>(got));
    EXPECT_EQ(queued, whole);
}

class ChildFrames : public ::testing::Test {
protected:
    ChildFrames() { buffer.reserve(64); }

    // Appends what a read from the child would bring, then takes the complete frames.
    size_t arrive(const Bytes& bytes) {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        return take_child_frames(buffer, discard, [this](const uint8_t* data, size_t size) {
            sends.emplace_back(data, data + size);
        });
    }

    Bytes buffer;
    size_t discard = 0;
    std::vector<Bytes> sends;
};

TEST_F(ChildFrames, CompleteFramesGoOutTogetherAndAPartialOneWaits) {
    const Bytes a = frame(3, 10);
    const Bytes b = frame(3, 0);
    const Bytes c = frame(3, 12);
    const Bytes ab = concat({a, b});
    EXPECT_EQ(arrive(concat({ab, Bytes(c.begin(), c.begin() + 8)})), 0u);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], ab);
    EXPECT_EQ(buffer.size(), 8u);
    arrive(Bytes(c.begin() + 8, c.end()));
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[1], c);
    EXPECT_TRUE(buffer.empty());
}

TEST_F(ChildFrames, FrameLongerThanTheBufferIsSkippedAndTheNextOneStillArrives) {
    const Bytes oversized = frame(3, 100);
    const Bytes next = frame(3, 4);
    EXPECT_EQ(arrive(Bytes(oversized.begin(), oversized.begin() + 40)), 105u);
    EXPECT_TRUE(sends.empty());
    EXPECT_EQ(arrive(Bytes(oversized.begin() + 40, oversized.end() - 10)), 0u);
    EXPECT_EQ(arrive(concat({Bytes(oversized.end() - 10, oversized.end()), next})), 0u);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0], next);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(discard, 0u);
}

}  // namespace
}  // namespace kelvra::norvane
