// Where a recorder cuts its segments and which ones the retention bound deletes, driven by a
// clock of the test's own.

#include "kelvra/norvane/webrtc/recording_plan.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kelvra/norvane/webrtc/recording_retention.hpp"

namespace kelvra::norvane {
namespace {

using Action = SegmentPlan::Action;

constexpr FrameSize kVga{640, 480};

// One frame into the plan, at `at_ms`, and what should become of it.
struct Step {
    int64_t at_ms;
    bool keyframe;
    Action action;
    int64_t pts_ms = 0;
    uint8_t format = 1;
    FrameSize size = kVga;
    bool close = false;
};

void run(SegmentPlan& plan, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        const auto got = plan.next(s.at_ms * 1000, s.format, s.keyframe,
                                   s.keyframe ? std::optional(s.size) : std::nullopt);
        EXPECT_EQ(got.action, s.action) << "frame " << i;
        EXPECT_EQ(got.close, s.close) << "frame " << i;
        if (got.action == Action::kAppend) {
            EXPECT_EQ(got.pts_ms, s.pts_ms) << "frame " << i;
        }
    }
}

TEST(SegmentPlan, CutsAtKeyframesOnLengthFormatAndSize) {
    SegmentPlan plan(1'000'000);
    run(plan, {
                  {0, false, Action::kSkip},  // nothing before the first keyframe
                  {10, true, Action::kStart},
                  {43, false, Action::kAppend, 33},
                  {43, false, Action::kAppend, 34},   // same millisecond: still later
                  {900, true, Action::kAppend, 890},  // a keyframe before the length is up
                  {1009, false, Action::kAppend, 999},
                  {1500, false, Action::kAppend, 1490},            // no cut without a keyframe
                  {1600, true, Action::kStart, 0, 1, kVga, true},  // first keyframe past it
                  {1700, true, Action::kStart, 0, 1, {1280, 720}, true},  // a new size
                  {1733, false, Action::kSkip, 0, 2, kVga, true},         // a new format
                  {1766, false, Action::kSkip, 0, 2},                     // waits for its keyframe
                  {1800, true, Action::kStart, 0, 2},
              });
}

TEST(SegmentPlan, LostFramesLeaveAGapAndFailuresPauseRecording) {
    SegmentPlan plan(300'000'000);
    run(plan, {{0, true, Action::kStart}, {33, false, Action::kAppend, 33}});
    plan.lost();
    run(plan, {{66, false, Action::kSkip},
               {500, true, Action::kAppend, 500},
               {533, false, Action::kAppend, 533}});
    plan.failed(600'000);
    EXPECT_FALSE(plan.open());
    const int64_t retry_ms = 600 + SegmentPlan::kRetryUs / 1000;
    run(plan, {{retry_ms - 1, true, Action::kSkip},
               {retry_ms, false, Action::kSkip},
               {retry_ms + 1, true, Action::kStart}});
}

TEST(SegmentPlan, KeyframeSizesAndSegmentNames) {
    struct Case {
        uint8_t format;
        std::vector<uint8_t> bytes;
        std::optional<FrameSize> size;
    };
    const Case cases[] = {
        {1, {0x50, 0x42, 0x00, 0x9d, 0x01, 0x2a, 0x80, 0x02, 0xe0, 0x01}, FrameSize{640, 480}},
        {1, {0x51, 0x42, 0x00, 0x9d, 0x01, 0x2a, 0x80, 0x02, 0xe0, 0x01}, std::nullopt},  // inter
        {1, {0x50, 0x42, 0x00, 0x9d, 0x01, 0x2a, 0x80, 0x02, 0xe0}, std::nullopt},  // cut short
        // Profile 0 keyframe, sync code, BT.601 colour, then width-1 639 and height-1 479.
        {2, {0x82, 0x49, 0x83, 0x42, 0x00, 0x27, 0xf0, 0x1d, 0xf0}, FrameSize{640, 480}},
        {2, {0x82, 0x49, 0x83, 0x42, 0x00, 0x27, 0xf0, 0x1d}, std::nullopt},
        {2, {0x86, 0x49, 0x83, 0x42, 0x00, 0x27, 0xf0, 0x1d, 0xf0}, std::nullopt},  // inter
        {3, {0x50, 0x42, 0x00, 0x9d, 0x01, 0x2a, 0x80, 0x02, 0xe0, 0x01}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keyframe_size(c.format, c.bytes.data(), c.bytes.size()), c.size)
            << "format " << int{c.format} << ", " << c.bytes.size() << " bytes";
    }
    EXPECT_EQ(segment_stem(1'796'608'230'123'456), "20261207T015030.123Z");
    EXPECT_LT(segment_stem(1'796'611'830'999'000), segment_stem(1'796'611'831'000'000));
}

TEST(Retention, DeletesTheOldestFirstButNeverOneBeingWritten) {
    const std::vector<RecordedSegment> segments = {
        {"20261207T010000.000Z", "c", 40, false},
        {"20261207T000000.000Z", "a", 40, true},  // oldest, but still written
        {"20261207T003000.000Z", "b", 40, false},
        {"20261207T020000.000Z", "d", 40, false},
    };
    EXPECT_EQ(segments_over_bound(segments, 0), std::vector<size_t>{});
    EXPECT_EQ(segments_over_bound(segments, 160), std::vector<size_t>{});
    EXPECT_EQ(segments_over_bound(segments, 159), std::vector<size_t>{2});
    EXPECT_EQ(segments_over_bound(segments, 80), (std::vector<size_t>{2, 0}));
    EXPECT_EQ(segments_over_bound(segments, 1), (std::vector<size_t>{2, 0, 3}));
}

}  // namespace
}  // namespace kelvra::norvane
