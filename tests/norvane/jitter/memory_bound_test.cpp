// What a sender can make one stream hold: frames too large to forward are refused before
// anything is allocated, and incomplete frames share a byte limit.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

using JitterMemoryBound = JitterTest;

TEST_F(JitterMemoryBound, AFrameTooLargeToForwardIsRefusedAtItsFirstFragmentWithOneLine) {
    for (uint16_t id = 0; id < 3; ++id) push_raw(buffer, 1, id, 65535, 0, Bytes(1400));
    push_raw(buffer, 2, 0, kMaxForwardableFragments + 1, 0, Bytes(1400));
    EXPECT_EQ(
        log.count_starting("error Frame with seq 1 announces 65535 fragments, more than the 7480 a "
                           "viewer can be sent"),
        1);
    EXPECT_EQ(buffer.queue_stats().pending, 0u);
    EXPECT_EQ(buffer.incomplete_bytes(), 0u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 2u);
    // The largest frame that fits is taken.
    push_raw(buffer, 3, 0, kMaxForwardableFragments, 0, Bytes(1400));
    EXPECT_EQ(buffer.queue_stats().pending, 1u);
}

// A frame known only from a gap takes its size from its first fragment: the same limit holds.
TEST_F(JitterMemoryBound, AFrameLostWholeIsNotSizedBeyondWhatCanBeForwarded) {
    buffer = JitterBuffer{JitterBufferLogger{}, clock, {.latency_budget_us = 400'000}};
    SentFrame(1, 1400).push_all(buffer);
    SentFrame(3, 1400).push_all(buffer);  // frame 2 is waited for
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), Numbers{1});
    push_raw(buffer, 2, 0, 65535, 0, Bytes(1400));
    EXPECT_LE(buffer.incomplete_bytes(), sizeof(Fragment));  // the gap's own slot only
    EXPECT_EQ(buffer.get_stats().skipped_frames, 1u);
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), Numbers{3});
}

// Thousands of frames each announcing 7000 fragments and sending one: without a limit each
// would hold 9.8 MB until purged fifteen seconds later.
TEST_F(JitterMemoryBound, PastTheByteLimitTheOldestIncompleteFramesAreGivenUp) {
    for (const std::optional<int64_t> budget : {std::optional<int64_t>{}, {400'000}}) {
        constexpr uint64_t kLimit = 32ull << 20;
        buffer = JitterBuffer{JitterBufferLogger{},
                              clock,
                              {.latency_budget_us = budget, .max_incomplete_bytes = kLimit}};
        constexpr uint64_t kFrameBytes = 7000 * (1400 + sizeof(Fragment));
        for (uint32_t seq = 1; seq <= 3000; ++seq, clock.advance(1000)) {
            push_raw(buffer, seq, 0, 7000, 0, Bytes(1400));
            ASSERT_LE(buffer.incomplete_bytes(), kLimit + kFrameBytes) << "seq " << seq;
            buffer.get_retransmit_requests(50);
            buffer.get_frames_to_show();
        }
        EXPECT_GE(buffer.get_stats().skipped_frames, 2990u);
        // What still arrives of a given-up frame is ignored; the newest frames are still served.
        push_raw(buffer, 1, 1, 7000, 0, Bytes(1400));
        const SentFrame last(3001, 1400);
        last.push_all(buffer);
        clock.advance(budget.value_or(0) + 1);
        EXPECT_EQ(numbers(buffer.get_frames_to_show()).back(), 3001u);
    }
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
