// Frame release: order, and holding behind incomplete keyframes and delta frames.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

using Release = JitterTest;

TEST_F(Release, CompleteFramesLeaveInAscendingOrder) {
    const SentFrame five(5, 2800);
    five.push(buffer, 0);
    SentFrame(6, 100).push_all(buffer);
    five.push(buffer, 1);
    EXPECT_EQ(show(), (Numbers{5, 6}));
    EXPECT_EQ(buffer.queue_stats().last_shown_sequence, 6u);
    EXPECT_TRUE(show().empty());
    EXPECT_EQ(buffer.get_stats().blocked_by_frame + buffer.get_stats().blocked_by_keyframe, 0u);
}

TEST_F(Release, IncompleteKeyframeHoldsNewerDeltaFramesButNoKeyframe) {
    const SentFrame key(6, 2800, true);
    key.push(buffer, 0);
    SentFrame(7, 100).push_all(buffer);
    for (uint32_t pass = 1; pass <= 3; ++pass) {
        clock.advance(1'000'000);
        EXPECT_TRUE(show().empty());
        EXPECT_EQ(buffer.get_stats().blocked_by_keyframe, pass);
    }
    key.push(buffer, 1);
    EXPECT_EQ(show(), (Numbers{6, 7}));
    SentFrame(8, 2800, true).push(buffer, 0);
    SentFrame(9, 100, true).push_all(buffer);
    EXPECT_EQ(show(), Numbers{9});
}

// Delta frame 8 waits for incomplete delta frame 7 until min(3 x max_roundtrip, 300 ms) after 7's
// first fragment; then 7 is given up and 8 leaves in the same call.
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
        EXPECT_EQ(numbers(jb.get_frames_to_show()), Numbers{8});
        EXPECT_EQ(jb.get_stats().skipped_frames, 1u);
        EXPECT_EQ(jb.queue_stats().incremental_queue, 0u);
    }
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
