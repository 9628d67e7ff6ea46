// The latency-budget rules: when missing fragments are asked for, how often, how many at once,
// and when a frame is given up.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

constexpr int64_t kBudgetUs = 200'000;
constexpr int64_t kAllowanceUs = 5'000;

struct LatencyBudget : JitterTest {
    const int64_t start = clock.now_us();

    // The sender tells a 50 ms round trip: a repeat is due 62.5 ms after a request.
    LatencyBudget() : JitterTest({.latency_budget_us = kBudgetUs}) {
        buffer.update_roundtrip(control(1, 50'000, 50'000));
    }

    Requests requests(uint64_t limit = 50) { return buffer.get_retransmit_requests(limit); }
    Requests at(int64_t offset_us) {
        clock.set(start + offset_us);
        return requests();
    }
};

TEST_F(LatencyBudget, AsksForWhatALaterFragmentOvertookOnceTheReorderAllowanceHasPassed) {
    const SentFrame first(1, 3 * 1400), second(2, 2 * 1400);
    first.push(buffer, 0);
    first.push(buffer, 2);
    second.push(buffer, 0);  // its fragment 1 may still be on its way
    EXPECT_EQ(at(0), Requests{});
    EXPECT_EQ(at(kAllowanceUs - 1), Requests{});
    EXPECT_EQ(at(kAllowanceUs), fragments_of({{1, 1, 1}}));
    // A fragment of a later frame shows that the rest of frame 2 is missing too.
    SentFrame(3, 1400).push(buffer, 0);
    EXPECT_EQ(at(kAllowanceUs + 1), Requests{});
    EXPECT_EQ(at(2 * kAllowanceUs + 1), fragments_of({{2, 1, 1}}));
}

TEST_F(LatencyBudget, TheRestOfTheNewestFrameIsMissingOnceTheNextFrameIsOverdue) {
    SentFrame(1, 1400).push_all(buffer);
    clock.set(start + 33'000);
    SentFrame(2, 2 * 1400).push(buffer, 0);  // frames come every 33 ms
    EXPECT_EQ(at(65'999), Requests{});
    EXPECT_EQ(at(66'000), Requests{});
    EXPECT_EQ(at(66'000 + kAllowanceUs), fragments_of({{2, 1, 1}}));
}

// A repeat goes with one more copy, and with all three when no later one could be answered
// in time, while the resend can still arrive within 200 ms of the frame's first fragment.
TEST_F(LatencyBudget, RepeatsAfterEachRoundtripWithMoreCopiesWhileAResendCanArriveInTime) {
    SentFrame(1, 2 * 1400).push(buffer, 1);
    EXPECT_EQ(at(0), Requests{});
    const Requests one = fragments_of({{1, 0, 0}});
    EXPECT_EQ(at(kAllowanceUs), one);
    EXPECT_EQ(at(kAllowanceUs + 62'499), Requests{});
    EXPECT_EQ(at(kAllowanceUs + 62'500), (Requests{one[0], one[0]}));
    EXPECT_EQ(at(kAllowanceUs + 125'000), (Requests{one[0], one[0], one[0]}));
    // 192.5 ms + 50 ms is past the budget: no more requests, and the frame is given up at 200.
    EXPECT_EQ(at(kAllowanceUs + 187'500), Requests{});
    EXPECT_EQ(at(kBudgetUs - 1), Requests{});
    EXPECT_EQ(buffer.get_stats().retransmissions_number, 6u);
    clock.set(start + kBudgetUs);
    EXPECT_EQ(show(), Numbers{});
    EXPECT_EQ(buffer.get_stats().skipped_frames, 1u);
}

TEST_F(LatencyBudget, TheRoundtripMeasuredFromRequestToResendReplacesTheSendersFigure) {
    const SentFrame first(1, 2 * 1400), second(2, 2 * 1400);
    first.push(buffer, 1);
    at(0);
    EXPECT_EQ(at(kAllowanceUs), fragments_of({{1, 0, 0}}));
    clock.set(start + kAllowanceUs + 20'000);
    first.push(buffer, 0);  // 20 ms after the request
    second.push(buffer, 1);
    const int64_t noticed = kAllowanceUs + 20'000;
    at(noticed);
    EXPECT_EQ(at(noticed + kAllowanceUs), fragments_of({{2, 0, 0}}));
    // 20 ms and four times a quarter of it, where the sender's figure would wait 62.5 ms.
    EXPECT_EQ(at(noticed + kAllowanceUs + 39'999), Requests{});
    EXPECT_EQ(at(noticed + kAllowanceUs + 40'000).size(), 2u);
}

TEST_F(LatencyBudget, AnyFrameIsGivenUpAtTheBudgetAndFramesStillLeaveStrictlyInOrder) {
    const SentFrame key(1, 2 * 1400, true), second(2, 1400), third(3, 1400);
    key.push(buffer, 0);
    second.push_all(buffer);
    third.push_all(buffer);
    EXPECT_EQ(show(), Numbers{});
    clock.set(start + kBudgetUs - 1);
    EXPECT_EQ(show(), Numbers{});
    EXPECT_EQ(buffer.get_stats().blocked_by_keyframe, 2u);
    clock.set(start + kBudgetUs);
    EXPECT_EQ(show(), (Numbers{2, 3}));
    EXPECT_EQ(buffer.get_stats().skipped_frames, 1u);
    // Completed after it was given up: never shown, so the frames after it stay in order.
    key.push(buffer, 1);
    EXPECT_EQ(show(), Numbers{});
    EXPECT_EQ(buffer.get_stats().delayed_frames, 1u);
    // Nothing missing: out at the next pass, however long the budget.
    SentFrame(4, 1400).push_all(buffer);
    EXPECT_EQ(show(), Numbers{4});
}

TEST_F(LatencyBudget, AFrameLostWholeIsAskedForByItsFirstFragmentAndWaitedFor) {
    SentFrame(1, 1400).push_all(buffer);
    const SentFrame lost(2, 2 * 1400);
    SentFrame(3, 1400).push_all(buffer);
    EXPECT_EQ(show(), Numbers{1});
    at(0);
    EXPECT_EQ(at(kAllowanceUs), fragments_of({{2, 0, 0}}));
    EXPECT_EQ(buffer.queue_stats().unknown_queue, 1u);
    // Its first fragment tells the size: the rest is missing at once.
    lost.push(buffer, 0);
    at(kAllowanceUs + 1);
    EXPECT_EQ(at(2 * kAllowanceUs + 1), fragments_of({{2, 1, 1}}));
    EXPECT_EQ(show(), Numbers{});
    lost.push(buffer, 1);
    EXPECT_EQ(show(), (Numbers{2, 3}));

    // A jump longer than any loss is a renumbering: nothing asked for, nothing waited for.
    SentFrame(3 + 65 + 1, 1400).push_all(buffer);
    EXPECT_EQ(show(), Numbers{69});
    EXPECT_EQ(at(10 * kAllowanceUs), Requests{});

    // A frame lost whole and given up stays given up when a fragment of it turns up.
    SentFrame(71, 1400).push_all(buffer);
    clock.set(clock.now_us() + kBudgetUs);
    EXPECT_EQ(show(), Numbers{71});
    SentFrame(70, 1400).push_all(buffer);
    EXPECT_EQ(show(), Numbers{});
}

// 100 frames of 4 fragments, each missing one: 100 requests due at once against a base of 50.
TEST_F(LatencyBudget, TheRequestBudgetFollowsTheFragmentsReceivedAndNoMore) {
    for (uint32_t seq = 1; seq <= 100; ++seq) {
        const SentFrame frame(seq, 4 * 1400);
        for (const uint16_t id : {0, 2, 3}) frame.push(buffer, id);
    }
    at(0);
    EXPECT_EQ(at(kAllowanceUs).size(), 100u);  // 50 + 300 received

    // A frame announcing 7480 fragments and sending its last one: the requests stay within
    // the base and the fragments received in the last second.
    clock.set(start + 2'000'000);
    push_raw(buffer, 200, 7479, 7480, 0, Bytes(100));
    requests();
    clock.advance(kAllowanceUs);
    EXPECT_EQ(requests().size(), 51u);
}

// Fragment ids past the announced count are refused, and never make requests reach past the
// frame's fragments (found by fuzzing: a heap overflow).
TEST_F(LatencyBudget, FragmentIdsPastTheCountWidenNoRequests) {
    push_raw(buffer, 1, 1, 2, 0, Bytes(100));
    push_raw(buffer, 1, 40, 2, 0, Bytes(100));
    push_raw(buffer, 2, 9, 2, 0, Bytes(100));  // the first fragment of a frame, out of range
    at(0);
    const Requests sent = at(kAllowanceUs);
    EXPECT_NE(std::find(sent.begin(), sent.end(), fragments_of({{1, 0, 0}})[0]), sent.end());
    for (const auto& request : sent) EXPECT_LT(request.fragment_id, 2u);
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
