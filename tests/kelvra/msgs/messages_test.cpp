#include "kelvra/msgs/video/messages.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvra::msgs::video {
namespace {

messgen::MessageInfo info_of(const std::vector<uint8_t>& frame) {
    return {frame[0], messgen::load_le<uint32_t>(frame.data() + 1), frame.data() + 5};
}

TEST(MessageFraming, SetStreamFrameIsByteExact) {
    set_stream msg;
    msg.manet_addr = 0x0A0B0C0D;
    msg.enabled = 1;
    msg.camera_type = 2;
    for (int i = 0; i < 16; ++i) msg.key[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> out;
    out.reserve(64);
    ASSERT_EQ(msg.serialize(out), 27);
    const std::vector<uint8_t> expected = {15,                      // id
                                           22,   0,    0,    0,     // payload size
                                           0x0D, 0x0C, 0x0B, 0x0A,  // manet_addr
                                           1,                       // enabled
                                           2,                       // camera_type
                                           0,    1,    2,    3,    4,  5,  6,  7,
                                           8,    9,    10,   11,   12, 13, 14, 15};  // key
    EXPECT_EQ(out, expected);
}

TEST(MessageFraming, SetStreamPayloadLengthRules) {
    std::array<uint8_t, 4096> storage{};
    messgen::Arena arena(storage.data(), storage.size());
    std::vector<uint8_t> payload(30, 7);
    set_stream msg;
    EXPECT_EQ(msg.parse({15, 21, payload.data()}, arena), -1);
    EXPECT_EQ(msg.parse({15, 22, payload.data()}, arena), 22);
    EXPECT_EQ(msg.parse({15, 30, payload.data()}, arena), 22);  // surplus ignored
    EXPECT_EQ(msg.parse({14, 30, payload.data()}, arena), -1);  // wrong id
}

TEST(MessageFraming, SessionMsgPeerCountChecks) {
    std::vector<uint8_t> storage(8192);
    messgen::Arena arena(storage.data(), 4096);
    session_msg msg;
    std::vector<uint8_t> big(4097, 0xAB);
    msg.peer_msg = {big.data(), 4096};
    std::vector<uint8_t> out;
    out.reserve(10000);
    ASSERT_GT(msg.serialize(out), 0);
    session_msg parsed;
    EXPECT_EQ(parsed.parse(info_of(out), arena), 13 + 4096);
    EXPECT_EQ(parsed.peer_msg.size, 4096u);

    out.clear();
    msg.peer_msg = {big.data(), 4097};
    ASSERT_GT(msg.serialize(out), 0);
    arena.reset();
    EXPECT_EQ(parsed.parse(info_of(out), arena), -1);  // does not fit in the 4096-byte arena

    // A count larger than the bytes that follow.
    std::vector<uint8_t> lying = {3, 16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 9, 0, 0, 0, 1, 2, 3};
    arena.reset();
    EXPECT_EQ(parsed.parse(info_of(lying), arena), -1);

    // A count of 0 parses to an empty array.
    std::vector<uint8_t> empty = {3, 13, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 0};
    arena.reset();
    EXPECT_EQ(parsed.parse(info_of(empty), arena), 13);
    EXPECT_EQ(parsed.peer_msg.size, 0u);
}

TEST(MessageFraming, VideoFrameSizesAndRoundTrip) {
    std::array<detection_item, 3> items{};
    items[1] = {1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    video_frame frame;
    frame.keyframe = 1;
    frame.video_format = static_cast<uint8_t>(VideoFormat::VP9);
    frame.detections = {items.data(), 3};
    frame.payload = {data.data(), 100};
    std::vector<uint8_t> out;
    out.reserve(1000);
    ASSERT_EQ(frame.serialize(out), 148);
    EXPECT_EQ(messgen::load_le<uint32_t>(out.data() + 1), 143u);

    std::array<uint8_t, 4096> storage{};
    messgen::Arena arena(storage.data(), storage.size());
    video_frame parsed;
    ASSERT_EQ(parsed.parse(info_of(out), arena), 143);
    EXPECT_EQ(parsed.keyframe, 1);
    EXPECT_EQ(parsed.video_format, 2);
    ASSERT_EQ(parsed.detections.size, 3u);
    EXPECT_EQ(parsed.detections.ptr[1], items[1]);
    ASSERT_EQ(parsed.payload.size, 100u);
    EXPECT_EQ(std::memcmp(parsed.payload.ptr, data.data(), 100), 0);

    // A detections count of 2 but bytes for one item only.
    std::vector<uint8_t> truncated = {10, 17, 0, 0, 0, 1, 1, 2, 0, 0, 0};
    truncated.resize(5 + 17, 0);
    EXPECT_EQ(parsed.parse(info_of(truncated), arena), -1);
}

TEST(MessageFraming, StringsAreWrittenWithoutTerminatorAndReadTerminated) {
    sdp_message msg;
    msg.sdp = "v=0";
    msg.type = "offer";
    std::vector<uint8_t> out;
    out.reserve(64);
    ASSERT_EQ(msg.serialize(out), 5 + 8 + 3 + 5);
    const std::vector<uint8_t> expected = {8,   16, 0, 0, 0, 3,   0,   0,   0,   'v', '=',
                                           '0', 5,  0, 0, 0, 'o', 'f', 'f', 'e', 'r'};
    EXPECT_EQ(out, expected);
    std::array<uint8_t, 64> storage{};
    messgen::Arena arena(storage.data(), storage.size());
    sdp_message parsed;
    ASSERT_EQ(parsed.parse(info_of(out), arena), 16);
    EXPECT_STREQ(parsed.sdp, "v=0");
    EXPECT_STREQ(parsed.type, "offer");
}

TEST(MessageFraming, SerializeThatDoesNotFitAppendsNothing) {
    std::array<uint8_t, 16> storage{};
    Slice<uint8_t> out{storage.data(), 4, 16};
    video_stats stats;
    EXPECT_EQ(stats.serialize(out), -1);  // 17 bytes into 12 free
    EXPECT_EQ(out.size, 4u);
    std::vector<uint8_t> vec;
    vec.reserve(12);
    EXPECT_EQ(stats.serialize(vec), -1);
    EXPECT_TRUE(vec.empty());
}

TEST(FrameWalker, StopsAtIncompleteFrame) {
    std::vector<uint8_t> buf = {9, 5, 0, 0, 0, 1, 2, 3, 4, 5, 6, 1, 0};
    int frames = 0;
    const size_t used =
        messgen::walk_frames(buf.data(), buf.size(), [&](const messgen::MessageInfo& m) {
            ++frames;
            EXPECT_EQ(m.type_id, 9);
            EXPECT_EQ(m.size, 5u);
        });
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(used, 10u);  // three bytes of the next frame left over
    EXPECT_EQ(messgen::complete_frames_length(buf.data(), 4), 0u);
    // A size field near UINT32_MAX must not wrap the bounds check.
    std::vector<uint8_t> huge = {1, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(messgen::complete_frames_length(huge.data(), huge.size()), 0u);
}

// Resident bytes of this process.
uint64_t resident_bytes() {
    char text[128] = {};
    const int fd = open("/proc/self/statm", O_RDONLY);
    const ssize_t got = fd >= 0 ? read(fd, text, sizeof(text) - 1) : -1;
    if (fd >= 0) close(fd);
    unsigned long long size = 0, resident = 0;
    if (got <= 0 || std::sscanf(text, "%llu %llu", &size, &resident) != 2) return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Every session child reserves a 10 MiB parse arena: reserving must not make it resident, or
// each viewer costs 10 MB for nothing. Measured in a child whose allocator maps fresh pages
// for it, so that no memory freed earlier by other tests hides the cost.
TEST(ParseArena, ReservingALargeArenaTakesNoMemoryUntilUsed) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
        const uint64_t before = resident_bytes();
        messgen::OwnedArena arena(10'485'760);
        auto* used = static_cast<uint8_t*>(arena.allocate(100, 1));
        used[0] = 1;
        const uint64_t after = resident_bytes();
        const uint64_t growth[2] = {after > before ? after - before : 0, used[0]};
        _exit(write(report[1], growth, sizeof(growth)) == sizeof(growth) ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    close(report[1]);
    uint64_t growth[2] = {};
    EXPECT_EQ(read(report[0], growth, sizeof(growth)), static_cast<ssize_t>(sizeof(growth)));
    close(report[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(growth[1], 1u);
    EXPECT_LT(growth[0], uint64_t{2} << 20);
}

}  // namespace
}  // namespace kelvra::msgs::video
