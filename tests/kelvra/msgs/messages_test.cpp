#include "kelvra/msgs/video/messages.hpp"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <vector>

namespace kelvra::msgs::video {
namespace {

using Bytes = std::vector<uint8_t>;

messgen::MessageInfo info_of(const Bytes& frame) {
    return {frame[0], messgen::load_le<uint32_t>(frame.data() + 1), frame.data() + 5};
}

template <typename M>
Bytes frame_of(const M& msg) {
    Bytes out;
    out.reserve(msg.frame_size());
    EXPECT_EQ(msg.serialize(out), static_cast<int>(msg.frame_size()));
    return out;
}

// Writes `msg`, checks the frame byte for byte, reads it back (writing the copy again must give
// the same frame), and checks that a payload cut anywhere or of another id is refused while
// surplus bytes after it are ignored.
template <typename M>
void check_wire(const M& msg, const Bytes& expected) {
    SCOPED_TRACE(M::NAME);
    const Bytes frame = frame_of(msg);
    EXPECT_EQ(frame, expected);
    std::array<uint8_t, 4096> storage;
    storage.fill(0xAB);  // a string read without its terminator would run on
    messgen::Arena arena(storage.data(), storage.size());
    const auto size = static_cast<uint32_t>(frame.size() - 5);
    M parsed;
    ASSERT_EQ(parsed.parse(info_of(frame), arena), static_cast<int>(size));
    EXPECT_EQ(frame_of(parsed), frame);
    for (uint32_t cut = 0; cut < size; ++cut) {
        arena.reset();
        EXPECT_EQ(M().parse({M::TYPE, cut, frame.data() + 5}, arena), -1) << "cut to " << cut;
    }
    Bytes longer = frame;
    longer.push_back(0xAB);
    EXPECT_EQ(M().parse({M::TYPE, size + 1, longer.data() + 5}, arena), static_cast<int>(size));
    EXPECT_EQ(M().parse({M::TYPE + 1, size, frame.data() + 5}, arena), -1);
}

TEST(MessageFraming, CatalogueMessagesAreByteExactAndReadBack) {
    set_stream stream;
    stream.manet_addr = 0x0A0B0C0D;
    stream.enabled = 1;
    stream.camera_type = 2;
    for (int i = 0; i < 16; ++i) stream.key[i] = static_cast<uint8_t>(i);
    check_wire(stream, {15,                      // id
                        22,   0,    0,    0,     // payload size
                        0x0D, 0x0C, 0x0B, 0x0A,  // manet_addr
                        1,                       // enabled
                        2,                       // camera_type
                        0,    1,    2,    3,    4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});  // key

    // Strings are written without their terminator and read back terminated.
    sdp_message sdp;
    sdp.sdp = "v=0";
    sdp.type = "offer";
    check_wire(sdp,
               {8, 16, 0, 0, 0, 3, 0, 0, 0, 'v', '=', '0', 5, 0, 0, 0, 'o', 'f', 'f', 'e', 'r'});
    session_response response;
    response.manet_addr = 1;
    response.consumer_id = 2;
    response.camera_type = 5;
    response.result = -1;
    response.status = "ok";
    check_wire(response, {1, 16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 0xFF, 2, 0, 0, 0, 'o', 'k'});

    // Arrays carry a count; an empty one is the count alone.
    uint8_t peer_bytes[] = {1, 2, 3};
    session_msg peer;
    peer.manet_addr = 1;
    peer.consumer_id = 2;
    peer.camera_type = 5;
    check_wire(peer, {3, 13, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 0});
    peer.peer_msg = {peer_bytes, 3};
    check_wire(peer, {3, 16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 3, 0, 0, 0, 1, 2, 3});

    detection_item item{1, 2, 3, 4, 5, 6};
    video_frame frame;
    frame.keyframe = 1;
    frame.video_format = static_cast<uint8_t>(VideoFormat::VP9);
    frame.detections = {&item, 1};
    frame.payload = {peer_bytes, 3};
    check_wire(frame, {10, 24, 0, 0, 0, 1, 2,           // keyframe, video_format
                       1,  0,  0, 0, 1, 0, 2, 0, 3, 0,  // one detection: x, y, w
                       4,  0,  5, 0, 6,                 // h, id, type
                       3,  0,  0, 0, 1, 2, 3});         // payload
}

TEST(MessageFraming, ArrayThatDoesNotFitTheArenaIsRefused) {
    std::vector<uint8_t> storage(4096);
    messgen::Arena arena(storage.data(), storage.size());
    Bytes big(4097, 0xAB);
    session_msg msg, parsed;
    msg.peer_msg = {big.data(), 4096};
    EXPECT_EQ(parsed.parse(info_of(frame_of(msg)), arena), 13 + 4096);
    EXPECT_EQ(parsed.peer_msg.size, 4096u);
    msg.peer_msg = {big.data(), 4097};
    arena.reset();
    EXPECT_EQ(parsed.parse(info_of(frame_of(msg)), arena), -1);
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
    uint64_t size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Every session child reserves a 10 MiB parse arena: reserving must not make it resident, or
// each viewer costs 10 MB for nothing. Measured in a child whose allocator maps fresh pages
// for it, so that no memory freed earlier by other tests hides the cost.
TEST(ParseArena, ReservingALargeArenaTakesNoMemoryUntilUsed) {
    const pid_t pid = fork();
    if (pid == 0) {
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
        const uint64_t before = resident_bytes();
        messgen::OwnedArena arena(10'485'760);
        auto* used = static_cast<uint8_t*>(arena.allocate(100, 1));
        used[0] = 1;
        const uint64_t after = resident_bytes();
        const bool small = after < before + (uint64_t{2} << 20);
        if (!small) std::fprintf(stderr, "resident growth: %llu bytes\n", after - before + 0ull);
        _exit(used[0] == 1 && small ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kelvra::msgs::video
