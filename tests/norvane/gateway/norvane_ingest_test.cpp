// The gateway's datagram path driven in-process with a manual clock.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <filesystem>

#include "support/gateway_harness.hpp"
#include "support/video_datagram_builder.hpp"

namespace kelvra {
namespace {

using msgs::video::control_data;
using msgs::video::video_fragment_info;

constexpr uint32_t kManet = 0x00C0FFEE;
constexpr uint8_t kCamera = 2;
const uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

control_data control(uint32_t seq, int32_t flight = -1) {
    control_data c;
    c.sequence_number = seq;
    c.minimal_roundtrip = c.maximum_roundtrip = 30'000;
    c.flight_id = flight;
    c.bitrate_est = 2'000'000;
    c.video_format = 1;
    return c;
}

video_fragment_info fragment(uint32_t frame, uint16_t id, uint16_t count, uint8_t type = 0) {
    video_fragment_info info;
    info.sequence_number = frame;
    info.fragment_id = id;
    info.fragments_number = count;
    info.type = type;
    return info;
}

std::vector<uint8_t> datagram(uint32_t frame, uint16_t id, uint16_t count, size_t size,
                              uint8_t type = 0, int32_t flight = -1, const uint8_t* key = kKey) {
    static uint32_t control_seq = 0;
    return testing::seal_video_datagram(kManet, kCamera, key, control(++control_seq, flight),
                                        fragment(frame, id, count, type),
                                        std::vector<uint8_t>(size, static_cast<uint8_t>(id)));
}

size_t files_with_extension(const std::filesystem::path& dir, const char* extension) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        n += entry.path().extension() == extension ? 1 : 0;
    }
    return n;
}

class GatewayIngestTest : public ::testing::Test {
protected:
    GatewayIngestTest() { h.announce(kManet, kCamera, kKey); }
    testing::GatewayHarness h;
};

TEST_F(GatewayIngestTest, AcceptedDatagramIsAnsweredWithStats) {
    h.deliver(datagram(5, 1, 3, 1400));
    const auto inbox = h.sender_inbox();
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox[0], (std::vector<uint8_t>{11, 12, 0, 0, 0,  // video_stats
                                              0, 0, 0, 0,       // missing_frames
                                              5, 0, 0, 0,       // sequence_number
                                              1, 0, 0, 0}));    // fragment_id
    const auto& stream = h.gateway().streams().begin()->second;
    EXPECT_EQ(stream.bitrate, 2'000'000u);
    EXPECT_EQ(stream.video_format, 1);
    EXPECT_EQ(stream.last_data_time, h.clock().now_us());
}

TEST_F(GatewayIngestTest, ShortDatagramsAreDroppedWithoutCountingAnError) {
    h.deliver(std::vector<uint8_t>(92, 0));
    EXPECT_EQ(
        h.count_in_log("Received less then minimum allowed bytes in encrypted datagram: 92 < 93"),
        1u);
    EXPECT_TRUE(h.gateway().blacklist().candidates().empty());
    // The smallest valid datagram carries an empty fragment.
    h.deliver(datagram(1, 0, 2, 0));
    EXPECT_EQ(h.sender_inbox().size(), 1u);
}

// Header areas laid out in ways a well-formed sender would not: each record that is too short
// is reported, then the datagram is dropped without counting an error; either order is accepted.
TEST_F(GatewayIngestTest, HeaderAreasAreWalkedFrameByFrame) {
    std::vector<uint8_t> control_frame, info_frame;
    control_frame.reserve(26);
    info_frame.reserve(14);
    control(1).serialize(control_frame);
    fragment(3, 0, 1).serialize(info_frame);
    auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    std::vector<uint8_t> short_control(control_frame.begin(), control_frame.end() - 1);
    short_control[1] = 20;
    const std::vector<uint8_t> empty_info = {4, 0, 0, 0, 0};
    const std::vector<uint8_t> short_info = {4, 4, 0, 0, 0, 1, 2, 3, 4};
    struct Case {
        std::vector<uint8_t> plaintext;
        std::string log;
        size_t answers;
    };
    const std::vector<Case> cases = {
        {cat({short_control, info_frame, {0}}),
         "VideoReceiver, Failed to parse control_data message!\n"
         "DATA SIZE MISMATCH! 39 != 40, recv = 93\nWrong datagram data received!\n",
         0},
        {cat({empty_info, short_info, control_frame}),
         "Failed to parse video fragment message\nFailed to parse video fragment message\n"
         "Wrong datagram data received!\n",
         0},
        {cat({info_frame, control_frame, {7, 7}}),
         "Got fragment 0, seq=3, addr: 12648430, camera type: 2\n", 1},
    };
    for (const Case& c : cases) {
        h.clear_log();
        h.deliver(testing::seal_video_plaintext(kManet, kCamera, kKey, c.plaintext));
        EXPECT_EQ(h.log(), c.log);
        EXPECT_EQ(h.sender_inbox().size(), c.answers);
    }
    EXPECT_TRUE(h.gateway().blacklist().candidates().empty());
}

TEST_F(GatewayIngestTest, UnknownStreamsAndWrongKeysBlacklistTheSource) {
    const uint8_t wrong[16] = {};
    // Within one second only the first five lines of a kind are written; the rest are counted.
    for (int i = 0; i < 10; ++i) h.deliver_from("127.0.0.2", datagram(1, 0, 1, 10, 0, -1, wrong));
    EXPECT_EQ(h.count_in_log("Failed to decrypt control data"), 5u);
    EXPECT_EQ(h.count_in_log("Failed to decrypt video data"), 5u);
    h.announce(kManet, kCamera, kKey, false);  // the stream goes away
    for (int i = 0; i < 10; ++i) h.deliver_from("127.0.0.2", datagram(1, 0, 1, 10));
    EXPECT_EQ(h.count_in_log("Received data from non-existent stream with manet address c0ffee"),
              5u);
    EXPECT_EQ(h.count_in_log("Adding address 127.0.0.2 to the blacklist"), 1u);

    // Blocked: dropped silently, and nothing else is logged or counted.
    h.announce(kManet, kCamera, kKey);
    h.clear_log();
    h.deliver_from("127.0.0.2", datagram(1, 0, 1, 10));
    EXPECT_EQ(h.log(), "");
    // Another source is unaffected.
    h.deliver(datagram(1, 0, 1, 10));
    EXPECT_EQ(h.sender_inbox().size(), 1u);

    h.clock().advance(60'000'001);
    h.deliver_from("127.0.0.2", datagram(2, 0, 1, 10));
    EXPECT_EQ(h.count_in_log("Removing address 127.0.0.2 from the blacklist after timeout"), 1u);
    EXPECT_EQ(h.count_in_log("Stream restart detected"), 0u);
}

TEST_F(GatewayIngestTest, LostFragmentIsRequestedWhenTheRoundtripSaysAndTheFrameCompletes) {
    const int64_t t0 = h.clock().now_us();
    h.deliver(datagram(10, 0, 3, 1400, 1));
    h.deliver(datagram(10, 2, 3, 500, 1));
    h.sender_inbox();

    // min_roundtrip 30 ms: due at first fragment + 60 ms, not before.
    h.clock().set(t0 + 59'999);
    h.serve();
    EXPECT_TRUE(h.sender_inbox().empty());
    h.clock().set(t0 + 60'000);
    h.serve();
    const auto requests = h.sender_inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (std::vector<uint8_t>{12, 8, 0, 0, 0, 10, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(h.count_in_log("Send new frame"), 0u);

    h.deliver(datagram(10, 1, 3, 1400, 1));
    h.serve();
    EXPECT_EQ(h.count_in_log("Send new frame: size=3300, seq=10, keyframe=true"), 1u);
    EXPECT_EQ(h.count_in_log("Norvane::send_new_frames got detections 0"), 1u);
}

TEST_F(GatewayIngestTest, RequestsFollowTheLatestSourcePort) {
    h.deliver(datagram(3, 0, 2, 1400));
    h.sender_inbox();
    // The next datagram of the stream arrives from another port of the sender.
    h.deliver_from("127.0.0.1", datagram(4, 0, 2, 1400));
    h.clock().advance(100'000);
    h.serve();
    // Neither request nor stats reach the first port any more.
    EXPECT_TRUE(h.sender_inbox().empty());
}

TEST_F(GatewayIngestTest, FlightsCreateDirectoriesAndFollowTheFlightId) {
    h.deliver(datagram(1, 0, 1, 10, 0, 5));
    const auto dir = h.directory() / "flights" / "00C0FFEE" / "5" / "2";
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(h.count_in_log("Creating flight directory: "), 1u);
    h.deliver(datagram(2, 0, 1, 10, 0, 5));
    EXPECT_EQ(h.count_in_log("Creating flight directory: "), 1u);
    EXPECT_EQ(h.gateway().streams().begin()->second.flight_id, 5);

    // -1 resets the flight without creating anything; the same id then starts a flight again,
    // reusing the existing directory without a log line.
    h.deliver(datagram(3, 0, 1, 10, 0, -1));
    EXPECT_EQ(h.gateway().streams().begin()->second.flight_id, -1);
    h.deliver(datagram(4, 0, 1, 10, 0, 5));
    EXPECT_EQ(h.gateway().streams().begin()->second.flight_id, 5);
    EXPECT_EQ(h.count_in_log("Creating flight directory: "), 1u);
}

TEST(GatewayStatistics, StatisticsFileOnlyOnceAFlightHasStarted) {
    testing::GatewayHarness h({.log_statistics = true});
    h.announce(kManet, kCamera, kKey);
    h.deliver(datagram(1, 0, 1, 10, 0, -1));
    EXPECT_EQ(h.count_in_log("Statistics log is enabled but logger is null!"), 1u);
    h.deliver(datagram(2, 0, 1, 10, 0, 8));
    EXPECT_EQ(h.count_in_log("Statistics log is enabled but logger is null!"), 1u);
    const auto dir = h.directory() / "flights" / "00C0FFEE" / "8" / "2";
    EXPECT_EQ(files_with_extension(dir, ".stats"), 1u);
    spdlog::apply_all([](const auto& logger) { logger->flush(); });
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_GT(std::filesystem::file_size(entry.path()), 0u) << "no record written";
    }
}

TEST(GatewayStatistics, JitterAndMessageLogsWhenSavingToFile) {
    testing::GatewayHarness h({.save_statistics_to_file = true});
    h.announce(kManet, kCamera, kKey);
    EXPECT_EQ(h.count_in_log("MsgLogger opened "), 1u);
    EXPECT_EQ(h.count_in_log("JitterBufferLogger opened "), 1u);
    // A second stream created within the same second keeps a log file of its own.
    h.announce(kManet + 1, kCamera, kKey);
    h.deliver(datagram(1, 0, 1, 10));
    EXPECT_EQ(files_with_extension(h.directory() / "logs", ".csv"), 3u);
}

}  // namespace
}  // namespace kelvra
