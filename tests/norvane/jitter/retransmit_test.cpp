// Retransmission requests: due times, order, and the budget over a sliding second.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

using Retransmit = JitterTest;

TEST_F(Retransmit, WithoutRoundtripMissingFragmentsAreRequestedOnEveryPass) {
    SentFrame(3, 2 * 1400 + 1).push(buffer, 1);
    for (int pass = 0; pass < 3; ++pass, clock.advance(1000)) {
        EXPECT_EQ(buffer.get_retransmit_requests(50), fragments_of({{3, 0, 0}, {3, 2, 2}}));
    }
    EXPECT_EQ(buffer.get_stats().retransmissions_number, 6u);
}

TEST_F(Retransmit, FirstRequestAndRepeatsFollowTwiceTheMinimalRoundtrip) {
    const int64_t first = clock.now_us();
    const SentFrame frame(3, 2800);
    frame.push(buffer, 0);
    buffer.update_roundtrip(control(1, 30'000, 50'000));
    const Requests due = fragments_of({{3, 1, 1}});
    for (const auto& [at, expected] : std::vector<std::pair<int64_t, Requests>>{
             {59'999, {}}, {60'000, due}, {119'999, {}}, {120'000, due}, {150'000, {}}}) {
        clock.set(first + at);
        EXPECT_EQ(buffer.get_retransmit_requests(50), expected) << "at " << at;
    }
    frame.push(buffer, 1);  // arrived after its request: never requested again
    clock.advance(1'000'000);
    EXPECT_TRUE(buffer.get_retransmit_requests(50).empty());
}

// Keyframe 1 and delta frames 2 and 3 each miss 20 fragments: 60 due at once against 50.
TEST_F(Retransmit, BudgetIsSharedByThePassesOfTheLastSecond) {
    const int64_t first = clock.now_us();
    for (uint32_t seq = 1; seq <= 3; ++seq) SentFrame(seq, 21 * 1400, seq == 1).push(buffer, 0);
    const Requests batch = fragments_of({{1, 1, 20}, {3, 1, 20}, {2, 1, 10}});
    EXPECT_EQ(buffer.get_retransmit_requests(50), batch);
    for (const int64_t at : {500'000, 1'000'000}) {
        clock.set(first + at);
        EXPECT_TRUE(buffer.get_retransmit_requests(50).empty()) << "at " << at;
    }
    clock.set(first + 1'000'001);
    EXPECT_EQ(buffer.get_retransmit_requests(50), batch);
    EXPECT_EQ(buffer.queue_stats().last_retransmits_count, 3u);  // the first pass has left
    // What a pass used counts until it leaves the window; the keyframe queue alone may use it.
    clock.set(first + 1'500'000);
    EXPECT_TRUE(buffer.get_retransmit_requests(50).empty());
    clock.set(first + 2'000'002);
    EXPECT_EQ(buffer.get_retransmit_requests(10), fragments_of({{1, 1, 10}}));
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
