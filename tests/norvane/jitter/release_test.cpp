// Frame release: order, holding behind incomplete keyframes and delta frames, waiting times.

#include <gtest/gtest.h>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter {
namespace {

using namespace testing;

struct Release : ::testing::Test {
    ManualClock clock;
    JitterBuffer buffer{JitterBufferLogger{}, clock};
    LogCapture log;
};

TEST_F(Release, CompleteFramesLeaveInAscendingOrder) {
    const SentFrame five(5, 2800);
    five.push(buffer, 0);
    SentFrame(6, 100).push_all(buffer);
    five.push(buffer, 1);
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), (std::vector<uint32_t>{5, 6}));
    EXPECT_LT(log.text().find("trace: Show 5 frame"), log.text().find("trace: Show 6 frame"));
    EXPECT_EQ(buffer.queue_stats().last_shown_sequence, 6u);
    EXPECT_TRUE(buffer.get_frames_to_show().empty());
}

TEST_F(Release, IncompleteOlderKeyframeHoldsDeltaFramesUntilItCompletes) {
    const SentFrame key(6, 2800, true);
    key.push(buffer, 0);
    SentFrame(7, 100).push_all(buffer);
    for (int pass = 1; pass <= 3; ++pass) {
        clock.advance(1'000'000);
        EXPECT_TRUE(buffer.get_frames_to_show().empty());
        EXPECT_EQ(buffer.get_stats().blocked_by_keyframe, static_cast<uint32_t>(pass));
    }
    EXPECT_EQ(buffer.get_stats().blocked_by_frame, 0u);
    key.push(buffer, 1);
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), (std::vector<uint32_t>{6, 7}));
    EXPECT_EQ(buffer.get_stats().skipped_frames, 0u);
}

TEST_F(Release, KeyframeIsNeverHeld) {
    SentFrame(6, 2800, true).push(buffer, 0);
    SentFrame(7, 2800).push(buffer, 0);
    SentFrame(9, 100, true).push_all(buffer);
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), (std::vector<uint32_t>{9}));
}

// Delta frame 8 waits for incomplete delta frame 7 for min(3 x max_roundtrip, 300 ms) after 7's
// first fragment, then 7 is given up and 8 leaves in the same call.
TEST_F(Release, OlderDeltaFrameHoldsForABoundedTime) {
    for (const auto& [max_roundtrip, wait] :
         std::vector<std::pair<uint32_t, int64_t>>{{20'000, 60'000}, {200'000, 300'000}}) {
        JitterBuffer jb{JitterBufferLogger{}, clock};
        const int64_t first = clock.now_us();
        SentFrame(7, 2800).push(jb, 0);
        jb.update_roundtrip(control(1, 1000, max_roundtrip));
        SentFrame(8, 100).push_all(jb);
        clock.set(first + wait);
        EXPECT_TRUE(jb.get_frames_to_show().empty());
        EXPECT_TRUE(jb.get_frames_to_show().empty());
        EXPECT_EQ(jb.get_stats().blocked_by_frame, 2u);
        clock.set(first + wait + 1);
        EXPECT_EQ(numbers(jb.get_frames_to_show()), (std::vector<uint32_t>{8}));
        EXPECT_EQ(jb.get_stats().skipped_frames, 1u);
        EXPECT_EQ(jb.queue_stats().incremental_queue, 0u);
        clock.advance(1'000'000);
    }
    EXPECT_TRUE(log.has("debug: Detected delayed frame with seq 7 relative to seq 8"));
}

TEST_F(Release, WithoutRoundtripAnOlderIncompleteFrameIsGivenUpAtOnce) {
    SentFrame(7, 2800).push(buffer, 0);
    SentFrame(8, 100).push_all(buffer);
    clock.advance(1);
    EXPECT_EQ(numbers(buffer.get_frames_to_show()), (std::vector<uint32_t>{8}));
}

TEST_F(Release, EmptyOutputQueueChangesNothing) {
    SentFrame(7, 2800, true).push(buffer, 0);
    EXPECT_TRUE(buffer.get_frames_to_show().empty());
    const Stats& stats = buffer.get_stats();
    EXPECT_EQ(stats.blocked_by_frame + stats.blocked_by_keyframe + stats.skipped_frames, 0u);
}

}  // namespace
}  // namespace kelvra::norvane::jitter
