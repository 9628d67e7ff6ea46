// Retransmission requests: due times, order, and the budget over a sliding second.

#include <gtest/gtest.h>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter {
namespace {

using namespace testing;
using msgs::video::video_retransmit_request;

using Requests = std::vector<video_retransmit_request>;

Requests fragments_of(uint32_t seq, uint32_t first, uint32_t last) {
    Requests out;
    for (uint32_t id = first; id <= last; ++id) out.push_back({{}, seq, id});
    return out;
}

Requests concat(std::initializer_list<Requests> parts) {
    Requests out;
    for (const Requests& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct Retransmit : ::testing::Test {
    ManualClock clock;
    JitterBuffer buffer{JitterBufferLogger{}, clock};
    LogCapture log;
};

TEST_F(Retransmit, WithoutRoundtripMissingFragmentsAreRequestedOnEveryPass) {
    SentFrame(3, 2 * 1400 + 1).push(buffer, 1);
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(buffer.get_retransmit_requests(50),
                  concat({fragments_of(3, 0, 0), fragments_of(3, 2, 2)}));
        clock.advance(1000);
    }
    EXPECT_EQ(buffer.get_stats().retransmissions_number, 6u);
}

TEST_F(Retransmit, FirstRequestAndRepeatsFollowTwiceTheMinimalRoundtrip) {
    const int64_t first = clock.now_us();
    const SentFrame frame(3, 2800);
    frame.push(buffer, 0);
    buffer.update_roundtrip(control(1, 30'000, 50'000));
    const Requests due = fragments_of(3, 1, 1);
    for (const auto& [at, expected] : std::vector<std::pair<int64_t, Requests>>{
             {59'999, {}}, {60'000, due}, {119'999, {}}, {120'000, due}, {150'000, {}}}) {
        clock.set(first + at);
        EXPECT_EQ(buffer.get_retransmit_requests(50), expected) << "at " << at;
    }
    EXPECT_TRUE(
        log.has("trace: Requesting retransmit for seq 3, frag 1, keyframe false, unknown "
                "false,fft 1000000000, brrt 1000060000, now 1000120000"));
    // Arrived after its request: never requested again, and a repeat is a duplicate.
    frame.push(buffer, 1);
    frame.push(buffer, 1);
    clock.advance(1'000'000);
    EXPECT_TRUE(buffer.get_retransmit_requests(50).empty());
    EXPECT_EQ(buffer.get_stats().duplicates_number, 1u);
}

// Keyframe 1 and delta frames 2 and 3 each miss 20 fragments: 60 due at once against 50.
TEST_F(Retransmit, BudgetIsSharedByThePassesOfTheLastSecond) {
    const int64_t first = clock.now_us();
    SentFrame(1, 21 * 1400, true).push(buffer, 0);
    SentFrame(2, 21 * 1400).push(buffer, 0);
    SentFrame(3, 21 * 1400).push(buffer, 0);
    const Requests first_batch =
        concat({fragments_of(1, 1, 20), fragments_of(3, 1, 20), fragments_of(2, 1, 10)});
    EXPECT_EQ(buffer.get_retransmit_requests(50), first_batch);
    EXPECT_TRUE(log.has("trace: Retransmit queue is full!"));
    for (const int64_t at : {500'000, 1'000'000}) {
        clock.set(first + at);
        EXPECT_TRUE(buffer.get_retransmit_requests(50).empty()) << "at " << at;
    }
    EXPECT_EQ(log.count("trace: Retransmits limit!"), 2);
    clock.set(first + 1'000'001);
    EXPECT_EQ(buffer.get_retransmit_requests(50), first_batch);
    EXPECT_EQ(buffer.queue_stats().last_retransmits_count, 3u);  // the pass at +0 has left
}

TEST_F(Retransmit, BudgetSlidesWithEachPass) {
    const int64_t first = clock.now_us();
    SentFrame(1, 41 * 1400).push(buffer, 0);
    EXPECT_EQ(buffer.get_retransmit_requests(30).size(), 30u);
    clock.set(first + 500'000);
    EXPECT_EQ(buffer.get_retransmit_requests(50), fragments_of(1, 1, 20));
    clock.set(first + 1'000'001);
    EXPECT_EQ(buffer.get_retransmit_requests(50), fragments_of(1, 1, 30));
    clock.set(first + 1'500'001);
    EXPECT_EQ(buffer.get_retransmit_requests(50).size(), 20u);
}

TEST_F(Retransmit, KeyframeFragmentsAloneCanFillTheBudget) {
    SentFrame(1, 2 * 1400).push(buffer, 0);
    SentFrame(2, 11 * 1400, true).push(buffer, 0);
    EXPECT_EQ(buffer.get_retransmit_requests(10), fragments_of(2, 1, 10));
}

TEST_F(Retransmit, PassWithNothingDueStillCounts) {
    EXPECT_TRUE(buffer.get_retransmit_requests(50).empty());
    EXPECT_EQ(buffer.queue_stats().last_retransmits_count, 1u);
}

}  // namespace
}  // namespace kelvra::norvane::jitter
