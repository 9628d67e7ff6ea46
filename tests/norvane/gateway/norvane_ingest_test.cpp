// The gateway driven in-process with a manual clock: its datagram path, its per-turn work
// (batched reads and replies, which streams a turn visits) and the signalling messages it
// cannot use.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "kelvra/msgs/video/messgen.hpp"
#include "support/gateway_harness.hpp"
#include "support/signalling_peer.hpp"
#include "support/video_datagram_builder.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<size_t> allocations{0};
}  // namespace

// Replacements of the global allocation functions, counting while a test asks for it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

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
                              uint8_t type = 0, int32_t flight = -1, const uint8_t* key = kKey,
                              uint8_t camera = kCamera) {
    static uint32_t control_seq = 0;
    return testing::seal_video_datagram(kManet, camera, key, control(++control_seq, flight),
                                        fragment(frame, id, count, type),
                                        std::vector<uint8_t>(size, static_cast<uint8_t>(id)));
}

// A 100-byte fragment of `camera`'s stream.
std::vector<uint8_t> on_camera(uint8_t camera, uint32_t frame, uint16_t id, uint16_t count) {
    return datagram(frame, id, count, 100, 0, -1, kKey, camera);
}

// Frame number a video_stats reply reports.
uint32_t stats_frame(const std::vector<uint8_t>& reply) {
    EXPECT_EQ(reply.size(), 17u);
    return messgen::load_le<uint32_t>(reply.data() + 9);
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

// The datagram path must not allocate per datagram: once a frame's buffer exists, its further
// fragments are received, decrypted, stored and answered without touching the heap.
TEST_F(GatewayIngestTest, FragmentsOfAKnownFrameAreHandledWithoutAllocating) {
    spdlog::set_level(spdlog::level::info);
    spdlog::get("Norvane")->set_level(spdlog::level::info);
    constexpr uint16_t kFragments = 8;
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint16_t i = 0; i < kFragments; ++i) {
        datagrams.push_back(datagram(7, i, kFragments + 1, 1400));  // the frame stays incomplete
    }
    h.deliver(datagrams[0]);  // creates the frame's record and buffer
    allocations = 0;
    counting = true;
    for (uint16_t i = 1; i < kFragments; ++i) h.deliver(datagrams[i]);
    counting = false;
    EXPECT_EQ(allocations.load(), 0u);
    EXPECT_EQ(h.sender_inbox().size(), kFragments);  // every datagram was answered
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

constexpr const char* kStateAttempt = "Failed to send signalling message 14!";

TEST(GatewayBatching, ABurstIsDrainedOverTurnsWithRepliesInArrivalOrder) {
    testing::GatewayHarness h;
    h.announce(kManet, 0, kKey);
    constexpr size_t kPerTurn = Norvane::kReceiveCallsPerTurn * norvane::ReceiveBatch::kCapacity;
    constexpr size_t kBurst = kPerTurn + 21;
    for (uint32_t frame = 1; frame <= kBurst; ++frame) h.send(on_camera(0, frame, 0, 1));

    std::vector<uint32_t> replied;
    for (const size_t expected : {kPerTurn, kBurst - kPerTurn, size_t{0}}) {
        h.read();
        const auto replies = h.sender_inbox();
        EXPECT_EQ(replies.size(), expected);
        for (const auto& reply : replies) replied.push_back(stats_frame(reply));
    }
    ASSERT_EQ(replied.size(), kBurst);
    for (uint32_t i = 0; i < kBurst; ++i) EXPECT_EQ(replied[i], i + 1);
    EXPECT_EQ(h.count_in_log("Recvfrom failed"), 0u);
}

// One batch holding two streams, a short datagram, an unknown stream, a wrong key and a
// blacklisted source: each is handled as it would be alone, in arrival order.
TEST(GatewayBatching, AMixedBatchIsHandledDatagramByDatagramInArrivalOrder) {
    testing::GatewayHarness h;
    h.announce(kManet, 1, kKey);
    h.announce(kManet, 2, kKey);
    for (uint16_t i = 0; i < norvane::Blacklist::kMaxErrors; ++i) {
        h.deliver_from("127.0.0.2", testing::seal_video_datagram(0xDEAD, 1, kKey, {}, {}, {}));
    }
    ASSERT_EQ(h.count_in_log("Adding address 127.0.0.2 to the blacklist"), 1u);
    h.clear_log();

    const uint8_t wrong[16] = {};
    h.send(on_camera(1, 7, 0, 1));
    h.send(std::vector<uint8_t>(10, 0));
    h.send_from("127.0.0.2", on_camera(1, 8, 0, 1));
    h.send(testing::seal_video_datagram(0xDEAD, 1, kKey, {}, {}, {}));
    h.send(on_camera(2, 9, 0, 1));
    h.send(testing::seal_video_datagram(kManet, 1, wrong, {}, {}, {}));
    h.read();

    std::vector<uint32_t> replied;
    for (const auto& reply : h.sender_inbox()) replied.push_back(stats_frame(reply));
    EXPECT_EQ(replied, (std::vector<uint32_t>{7, 9}));
    const std::string log = h.log();
    const size_t short_at = log.find("Received less then minimum allowed bytes");
    const size_t unknown_at =
        log.find("Received data from non-existent stream with manet address dead");
    const size_t wrong_key_at = log.find("Failed to decrypt video data");
    EXPECT_LT(short_at, unknown_at);
    EXPECT_LT(unknown_at, wrong_key_at);
    EXPECT_NE(wrong_key_at, std::string::npos);
    EXPECT_EQ(h.count_in_log("seq=8"), 0u);  // the blacklisted source's datagram left no trace
}

TEST(GatewayBatching, RequestsOfAPassLargerThanABatchAllGoOutInOrder) {
    testing::GatewayHarness h;
    // More requests in one pass than the send batch holds.
    constexpr uint8_t kStreams = 6;
    constexpr uint16_t kFragments = 40;
    for (uint8_t camera = 0; camera < kStreams; ++camera) {
        h.announce(kManet, camera, kKey);
        h.deliver(on_camera(camera, 5, 0, kFragments));
    }
    h.sender_inbox();
    h.clock().advance(60'000);
    h.serve();
    const auto requests = h.sender_inbox();
    ASSERT_EQ(requests.size(), size_t{kStreams} * (kFragments - 1));
    EXPECT_GT(requests.size(), norvane::SendBatch::kCapacity);
    for (size_t i = 0; i < requests.size(); ++i) {
        ASSERT_EQ(requests[i].size(), 13u);
        EXPECT_EQ(messgen::load_le<uint32_t>(requests[i].data() + 9), 1 + i % (kFragments - 1));
    }
}

TEST(GatewayActiveStreams, OnlyStreamsWithRecentDataAreVisitedAndEveryStreamReportsEachSecond) {
    testing::GatewayHarness h;
    const uint64_t idle = norvane::stream_key(kManet, 1);
    const uint64_t busy = norvane::stream_key(kManet, 2);
    h.announce(kManet, 1, kKey);
    h.announce(kManet, 2, kKey);
    h.serve();
    EXPECT_TRUE(h.gateway().active_streams().empty());

    // A frame missing two fragments: its requests fall due while no more data comes.
    h.deliver(on_camera(2, 10, 0, 3));
    EXPECT_EQ(h.gateway().active_streams(), std::set<uint64_t>{busy});
    h.sender_inbox();
    h.clear_log();

    // Each second, one report per stream, idle or not.
    for (int second = 1; second <= 3; ++second) {
        h.clock().advance(1'000'001);
        h.serve();
        EXPECT_EQ(h.count_in_log(kStateAttempt), 2u * second);
    }
    // The busy stream is still served: its two fragments are asked for again each second.
    EXPECT_EQ(h.sender_inbox().size(), 6u);

    // Held until its records are purged, then no longer visited.
    h.clock().advance(Norvane::kActiveWindowUs);
    h.serve();
    EXPECT_TRUE(h.gateway().active_streams().empty());
    EXPECT_EQ(h.count_in_log(kStateAttempt), 8u);

    // Data makes a stream active again; deleting it takes it out of both schedules.
    h.deliver(on_camera(1, 20, 0, 1));
    EXPECT_EQ(h.gateway().active_streams(), std::set<uint64_t>{idle});
    h.announce(kManet, 1, kKey, false);
    EXPECT_TRUE(h.gateway().active_streams().empty());
    h.clock().advance(1'000'001);
    h.serve();
    EXPECT_EQ(h.count_in_log(kStateAttempt), 9u);
}

TEST(GatewayIdleLoop, WaitsForTheNextReportWithinTheLoopsBounds) {
    testing::GatewayHarness h;
    // Without a signalling connection the loop keeps its usual pace.
    EXPECT_EQ(h.gateway().poll_timeout_ms(h.clock().now_us(), false), Norvane::kPollTimeoutMs);

    struct Case {
        int64_t next_due_us;
        int expected_ms;
    };
    const int64_t now = 5'000'000;
    for (const Case c :
         {Case{-1, Norvane::kIdlePollTimeoutMs}, Case{now + 60'000, 20}, Case{now + 5'000, 6},
          Case{now + 4'999, 5}, Case{now + 1'000, 2}, Case{now, 2}, Case{now - 30'000, 2}}) {
        EXPECT_EQ(Norvane::idle_poll_timeout_ms(c.next_due_us, now), c.expected_ms)
            << c.next_due_us - now;
    }
}

// Signalling messages the gateway cannot use, and announcements repeated or withdrawn for
// streams it does not have: an operator's line for each, the streams untouched.
TEST(GatewaySignalling, UnusableMessagesAreReportedAndTheStreamsOutliveTheConnection) {
    testing::GatewayHarness h;
    h.announce(kManet, kCamera, kKey);
    const std::pair<testing::Bytes, const char*> cases[] = {
        {testing::SignallingPeer::frame(msgs::video::stream_state{}),
         "Got unexpected message type: 14"},
        {{9, 4, 0, 0, 0, 1, 2, 3, 4}, "Failed to parse session terminate request!"},
        {{15, 21, 0,  0,  0,  1,  2,  3,  4,  5,  6,  7,  8,
          9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
         "Failed to parse set stream message!"},
        {testing::SignallingPeer::set_stream_frame(kManet, kCamera, true, kKey),
         "Video stream with manet address c0ffee and camera 2 already exists"},
        {testing::SignallingPeer::set_stream_frame(5, 1, false, kKey),
         "Video stream with manet address 5 and camera 1 does not exist"},
    };
    for (const auto& [frame, line] : cases) {
        h.clear_log();
        h.gateway().on_signalling_message(
            {frame[0], messgen::load_le<uint32_t>(frame.data() + 1), frame.data() + 5});
        EXPECT_EQ(h.count_in_log(line), 1u) << h.log();
    }
    EXPECT_EQ(h.gateway().streams().size(), 1u);
    // A new connection to the signalling server needs no new announcement.
    h.gateway().on_disconnect();
    h.gateway().on_connect();
    EXPECT_EQ(h.gateway().streams().size(), 1u);
}

}  // namespace
}  // namespace kelvra
