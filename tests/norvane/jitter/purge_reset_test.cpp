// Purging of old records, restart detection, reset, and frame numbers that complete twice.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

using PurgeAndReset = JitterTest;

TEST_F(PurgeAndReset, RecordsArePurgedFifteenSecondsAfterTheirFirstFragment) {
    const int64_t first = clock.now_us();
    SentFrame(1, 100).push_all(buffer);
    EXPECT_EQ(show(), Numbers{1});
    SentFrame(2, 2800, true).push(buffer, 0);
    clock.set(first + 15'000'000);
    EXPECT_EQ(buffer.get_retransmit_requests(50).size(), 1u);
    EXPECT_EQ(buffer.queue_stats().pending, 2u);
    clock.set(first + 15'000'001);
    EXPECT_TRUE(buffer.get_retransmit_requests(50).empty());  // purged: no longer requested
    EXPECT_EQ(buffer.queue_stats().pending, 0u);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 0u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 1u);  // the shown frame 1 left silently
}

TEST_F(PurgeAndReset, NewFrameNumberBelowTheHighestIsARestart) {
    SentFrame(10, 100).push_all(buffer);
    SentFrame(11, 2800).push(buffer, 0);
    SentFrame(11, 2800).push(buffer, 0);
    buffer.update_roundtrip(control(5, 100, 100));
    SentFrame(9, 2800).push(buffer, 0);
    EXPECT_TRUE(log.has("warning Stream restart detected! Got sequence 9 < 11. Resetting!"));
    EXPECT_EQ(buffer.queue_stats().pending, 1u);
    EXPECT_EQ(buffer.queue_stats().last_sequence, 0u);
    EXPECT_EQ(buffer.get_stats().duplicates_number, 0u);
    EXPECT_EQ(buffer.get_stats().min_roundtrip, 0);
    clock.advance(1);
    EXPECT_EQ(show(), Numbers{10});  // completed before the restart: still released
    SentFrame(10, 2800).push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().last_sequence, 10u);
    SentFrame(UINT32_MAX, 2800).push(buffer, 0);
    SentFrame(0, 2800).push(buffer, 0);  // a wrapped counter is a restart too
    EXPECT_TRUE(log.has("warning Stream restart detected! Got sequence 0 < 4294967295."));
}

TEST_F(PurgeAndReset, NewRunAttachesToOldRecordsUntilANumberHasNone) {
    for (uint32_t seq = 1; seq <= 3; ++seq) SentFrame(seq, 2800).push(buffer, 0);
    SentFrame(1, 2800).push_all(buffer);  // the sender restarted at 1
    EXPECT_EQ(buffer.get_stats().duplicates_number, 1u);
    EXPECT_EQ(buffer.queue_stats().output, 1u);
    clock.advance(15'000'001);
    buffer.get_retransmit_requests(50);
    SentFrame(2, 2800).push(buffer, 0);
    EXPECT_EQ(log.count_starting("warning Stream restart detected!"), 1);
}

TEST_F(PurgeAndReset, FramesQueuedAtAResetAreShownBeforeTheNewRun) {
    SentFrame(5, 2800).push(buffer, 0);
    buffer.update_roundtrip(control(1, 100'000, 100'000));
    SentFrame(10, 100).push_all(buffer);
    SentFrame(11, 100).push_all(buffer);
    SentFrame(3, 100).push_all(buffer);  // restart; 10 and 11 stay queued
    EXPECT_EQ(show(), (Numbers{3, 10, 11}));
    SentFrame(4, 100).push_all(buffer);
    SentFrame(12, 100).push_all(buffer);
    EXPECT_EQ(show(), Numbers{12});
}

TEST_F(PurgeAndReset, FrameNumberCompletingAgainIsNotShownTwice) {
    // Rebuilt while the first copy still waits in the output queue across a restart...
    SentFrame(5, 2800).push(buffer, 0);
    buffer.update_roundtrip(control(1, 100'000, 100'000));
    SentFrame(10, 100).push_all(buffer);
    SentFrame(3, 100).push_all(buffer);
    SentFrame(10, 100).push_all(buffer);
    EXPECT_EQ(show(), (Numbers{3, 10}));
    // ...and rebuilt after its shown record was purged.
    clock.advance(15'000'001);
    buffer.get_retransmit_requests(50);
    SentFrame(10, 100).push_all(buffer);
    EXPECT_TRUE(show().empty());
}

// After a restart, old-run frames shown last make a new-run keyframe complete as delayed.
TEST_F(PurgeAndReset, CompletedButDroppedFrameHoldsNothingBack) {
    SentFrame(100, 100, true).push_all(buffer);
    const SentFrame key(3, 2800, true);
    key.push(buffer, 0);  // restart
    EXPECT_EQ(show(), Numbers{100});
    key.push(buffer, 1);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 0u);
    SentFrame(101, 100).push_all(buffer);
    EXPECT_EQ(show(), Numbers{101});
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
