// The gateway's per-turn work: batched reads and replies, and which streams a turn visits.

#include <gtest/gtest.h>

#include "kelvra/msgs/video/messgen.hpp"
#include "support/gateway_harness.hpp"
#include "support/video_datagram_builder.hpp"

namespace kelvra {
namespace {

constexpr uint32_t kManet = 0x00C0FFEE;
const uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
constexpr const char* kStateAttempt = "Failed to send signalling message 14!";

std::vector<uint8_t> datagram(uint8_t camera, uint32_t frame, uint16_t id, uint16_t count) {
    msgs::video::control_data control;
    control.minimal_roundtrip = 30'000;
    control.maximum_roundtrip = 30'000;
    control.video_format = 1;
    msgs::video::video_fragment_info info;
    info.sequence_number = frame;
    info.fragment_id = id;
    info.fragments_number = count;
    return testing::seal_video_datagram(kManet, camera, kKey, control, info,
                                        std::vector<uint8_t>(100, 7));
}

// Frame number a video_stats reply reports.
uint32_t stats_frame(const std::vector<uint8_t>& reply) {
    EXPECT_EQ(reply.size(), 17u);
    return messgen::load_le<uint32_t>(reply.data() + 9);
}

TEST(GatewayBatching, ABurstIsDrainedOverTurnsWithRepliesInArrivalOrder) {
    testing::GatewayHarness h;
    h.announce(kManet, 0, kKey);
    constexpr size_t kPerTurn = Norvane::kReceiveCallsPerTurn * norvane::ReceiveBatch::kCapacity;
    constexpr size_t kBurst = kPerTurn + 21;
    for (uint32_t frame = 1; frame <= kBurst; ++frame) h.send(datagram(0, frame, 0, 1));

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
    h.send(datagram(1, 7, 0, 1));
    h.send(std::vector<uint8_t>(10, 0));
    h.send_from("127.0.0.2", datagram(1, 8, 0, 1));
    h.send(testing::seal_video_datagram(0xDEAD, 1, kKey, {}, {}, {}));
    h.send(datagram(2, 9, 0, 1));
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
        h.deliver(datagram(camera, 5, 0, kFragments));
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
    h.deliver(datagram(2, 10, 0, 3));
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
    h.deliver(datagram(1, 20, 0, 1));
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

}  // namespace
}  // namespace kelvra
