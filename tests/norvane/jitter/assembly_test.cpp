// Fragment assembly: slots, sizes, detections, duplicates and input that must not corrupt memory.

#include <gtest/gtest.h>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter {
namespace {

using namespace testing;

struct Assembly : ::testing::Test {
    ManualClock clock;
    JitterBuffer buffer{JitterBufferLogger{}, clock};
    LogCapture log;

    Frame only_frame() {
        std::vector<Frame> frames = buffer.get_frames_to_show();
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? Frame{} : frames.front();
    }
};

TEST_F(Assembly, KeyframeCompletesOnItsLastFragment) {
    const SentFrame frame(5, 2 * 1400 + 321, true);
    frame.push(buffer, 0);
    EXPECT_TRUE(log.has("trace: Detected keyframe with seq 5"));
    EXPECT_EQ(buffer.queue_stats().pending, 1u);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 1u);
    frame.push(buffer, 1);
    EXPECT_EQ(buffer.queue_stats().output, 0u);
    frame.push(buffer, 2);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 0u);
    const Frame out = only_frame();
    EXPECT_TRUE(out.keyframe);
    EXPECT_EQ(out.size, 2 * 1400 + 321u);
    EXPECT_EQ(frame_bytes(out), frame.bytes);
}

TEST_F(Assembly, FragmentsLandAtTheirSlotsInAnyOrder) {
    const SentFrame frame(7, 2 * 1400 + 10);
    frame.push(buffer, 2);
    frame.push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().output, 0u);
    frame.push(buffer, 1);
    EXPECT_EQ(frame_bytes(only_frame()), frame.bytes);
}

TEST_F(Assembly, DetectionsFragmentRidesWithTheFrame) {
    const std::vector<detection_item> items = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    SentFrame frame(3, 1400 + 99);
    frame.attach(items);
    ASSERT_EQ(frame.fragments(), 3);
    frame.push(buffer, 2);
    frame.push(buffer, 0);
    frame.push(buffer, 1);
    EXPECT_TRUE(log.has("debug: Jitter got detections 2"));
    const Frame out = only_frame();
    EXPECT_EQ(out.size, 1400 + 99u);
    EXPECT_EQ(frame_bytes(out), frame.bytes);
    EXPECT_EQ(out.detections, items);
}

TEST(DetectionsDecoding, CountBoundsAndShortPayloads) {
    const detection_item a{1, 2, 3, 4, 5, 6};
    const detection_item b{7, 8, 9, 10, 11, 12};
    struct Case {
        std::vector<uint8_t> payload;
        std::vector<detection_item> expected;
    };
    std::vector<uint8_t> truncated = detections_payload(3, {a, a});
    std::vector<uint8_t> partial = detections_payload(2, {a, b});
    partial.resize(4 + 11 + 4);  // second item cut after x and y
    const std::vector<Case> cases = {
        {detections_payload(3, {a, b}), {a, b, detection_item{}}},
        {partial, {a, detection_item{7, 8, 0, 0, 0, 0}}},
        {detections_payload(125, {}), std::vector<detection_item>(125)},
        {detections_payload(126, {a}), {}},
        {{1, 0, 0}, {}},
        {detections_payload(0, {}), {}},
    };
    for (const Case& c : cases) {
        ManualClock clock;
        JitterBuffer buffer{JitterBufferLogger{}, clock};
        push_raw(buffer, 1, 0, 2, kHasDetections, pattern(10, 1));
        push_raw(buffer, 1, 1, 2, kHasDetections | kDetectionsFragment, c.payload);
        const std::vector<Frame> frames = buffer.get_frames_to_show();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].size, 10u);
        EXPECT_EQ(frames[0].detections, c.expected);
    }
}

TEST_F(Assembly, RepeatedFragmentsOnlyCountAsDuplicates) {
    const SentFrame frame(9, 1400 + 5);
    frame.push(buffer, 0);
    frame.push(buffer, 0);
    EXPECT_TRUE(log.has("trace: Duplicating fragment id 0 for seq 9"));
    frame.push(buffer, 1);
    frame.push(buffer, 1);  // the frame is complete: still a duplicate, not a second frame
    EXPECT_EQ(buffer.get_stats().duplicates_number, 2u);
    EXPECT_EQ(frame_bytes(only_frame()), frame.bytes);
}

TEST_F(Assembly, FragmentIdOutsideTheFrameIsIgnored) {
    push_raw(buffer, 4, 2, 2, 0, pattern(1400, 0));
    EXPECT_TRUE(log.has("error: Wrong fragment id 2 for seq 4 with frags num 2"));
    push_raw(buffer, 6, 0, 0, 0, pattern(10, 0));  // no fragment can belong to a 0-fragment frame
    EXPECT_TRUE(log.has("error: Wrong fragment id 0 for seq 6 with frags num 0"));
    EXPECT_EQ(buffer.get_stats().duplicates_number, 0u);
    EXPECT_EQ(buffer.queue_stats().pending, 2u);
    clock.advance(15'000'001);
    buffer.cleanup_pending_queue(clock.now_us());
    EXPECT_EQ(buffer.queue_stats().pending, 0u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 2u);
}

TEST_F(Assembly, OversizedFragmentIsRejectedAndItsSlotStaysOpen) {
    const SentFrame frame(8, 1400 + 1400);
    push_raw(buffer, 8, 0, 2, 0, pattern(1401, 0));
    push_raw(buffer, 8, 1, 2, 0, pattern(1407, 0));  // the last fragment may not overrun either
    EXPECT_TRUE(log.has("error: Oversized fragment id 1 for seq 8: 1407/1400"));
    frame.push_all(buffer);
    EXPECT_EQ(buffer.get_stats().duplicates_number, 0u);
    EXPECT_EQ(frame_bytes(only_frame()), frame.bytes);
}

TEST_F(Assembly, FragmentKindMustMatchItsSlot) {
    const std::vector<detection_item> items = {{1, 1, 1, 1, 1, 1}};
    SentFrame frame(2, 1400 + 7);
    frame.attach(items);
    // Detections where video belongs, in a frame without detections, and video in the
    // detections slot: each would leave frame bytes unwritten.
    push_raw(buffer, 2, 0, 3, kHasDetections | kDetectionsFragment, detections_payload(1, items));
    push_raw(buffer, 2, 2, 3, kHasDetections, pattern(7, 0));
    push_raw(buffer, 3, 0, 1, kDetectionsFragment, detections_payload(1, items));
    EXPECT_EQ(log.count("error: Misplaced fragment id 0 for seq 2: detections fragment true, frags "
                        "num 3, has detections true"),
              1);
    frame.push_all(buffer);
    const Frame out = only_frame();
    EXPECT_EQ(frame_bytes(out), frame.bytes);
    EXPECT_EQ(out.detections, items);
}

TEST_F(Assembly, ShortMiddleFragmentIsStoredWithTheRestOfItsSlotZeroed) {
    push_raw(buffer, 1, 0, 2, 0, pattern(1000, 3));
    EXPECT_TRUE(log.has("error: Unexpected size for non last fragment: 1000/1400"));
    push_raw(buffer, 1, 1, 2, 0, pattern(20, 4));
    const Frame out = only_frame();
    ASSERT_EQ(out.size, 1420u);
    std::vector<uint8_t> expected = pattern(1000, 3);
    expected.resize(1400, 0);
    const std::vector<uint8_t> tail = pattern(20, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(frame_bytes(out), expected);
}

TEST_F(Assembly, FrameOfOnlyDetectionsHasNoVideoBytes) {
    const std::vector<detection_item> items = {{4, 4, 4, 4, 4, 4}};
    push_raw(buffer, 1, 0, 1, kHasDetections | kDetectionsFragment, detections_payload(1, items));
    const Frame out = only_frame();
    EXPECT_EQ(out.size, 0u);
    EXPECT_EQ(out.detections, items);
}

TEST_F(Assembly, RetransmissionQueuesDropTheNewestEntryOverTheirLimits) {
    for (uint32_t seq = 1; seq <= 15; ++seq) SentFrame(seq, 2800, true).push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 14u);
    // Keyframe 15 was dropped from its queue: it is never requested.
    for (const auto& request : buffer.get_retransmit_requests(1000)) {
        EXPECT_LT(request.sequence_number, 15u);
    }
    for (uint32_t seq = 16; seq <= 35; ++seq) SentFrame(seq, 2800).push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().incremental_queue, 19u);
    EXPECT_EQ(buffer.queue_stats().pending, 35u);
    // A dropped record still completes from fragments that arrive anyway.
    SentFrame(35, 2800).push(buffer, 1);
    EXPECT_TRUE(
        log.has("error: Erase wrong number 0 of frames from incremental retransmission queue"));
    EXPECT_EQ(buffer.queue_stats().output, 1u);
}

TEST_F(Assembly, CompletedKeyframeDiscardsEverythingOlder) {
    SentFrame(27, 100).push_all(buffer);
    SentFrame(28, 100).push_all(buffer);
    SentFrame(29, 2800).push(buffer, 0);
    const SentFrame key(30, 100, true);
    key.push_all(buffer);
    EXPECT_TRUE(
        log.has("debug: Dropping preceding to 30 frame from output queue 27, keyframe: false"));
    EXPECT_TRUE(log.has("debug: Detected delayed frame with seq 29 relative to seq 30"));
    EXPECT_EQ(buffer.get_stats().skipped_frames, 3u);
    EXPECT_EQ(buffer.queue_stats().incremental_queue, 0u);
    EXPECT_EQ(only_frame().sequence_number, 30u);
}

TEST_F(Assembly, FrameCompletingBehindAShownFrameIsDropped) {
    const SentFrame late(15, 2800);
    late.push(buffer, 0);
    SentFrame(20, 100).push_all(buffer);
    clock.advance(1);  // no roundtrip known: 15 is given up at once
    EXPECT_EQ(only_frame().sequence_number, 20u);
    late.push(buffer, 1);
    EXPECT_TRUE(log.has("debug: Constructed delayed frame with seq 15"));
    EXPECT_EQ(buffer.get_stats().delayed_frames, 1u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 2u);  // given up, then completed too late
    EXPECT_EQ(buffer.queue_stats().output, 0u);
}

TEST_F(Assembly, MovedBufferKeepsFramesInProgress) {
    const SentFrame frame(4, 1400 + 1, true);
    frame.push(buffer, 0);
    JitterBuffer moved(std::move(buffer));
    frame.push(moved, 1);
    JitterBuffer assigned{JitterBufferLogger{}, clock};
    assigned = std::move(moved);
    frame.push(assigned, 1);
    EXPECT_EQ(assigned.get_stats().duplicates_number, 1u);
    EXPECT_EQ(numbers(assigned.get_frames_to_show()), (std::vector<uint32_t>{4}));
}

TEST_F(Assembly, RoundtripOfAnOlderControlRecordIsIgnored) {
    buffer.update_roundtrip(control(10, 4000, 9001));
    EXPECT_EQ(buffer.get_stats().roundtrip, 6500);
    buffer.update_roundtrip(control(9, 1, 1));
    EXPECT_EQ(buffer.get_stats().min_roundtrip, 4000);
    buffer.update_roundtrip(control(10, UINT32_MAX, 3));  // the sum wraps in 32 bits
    EXPECT_EQ(buffer.get_stats().max_roundtrip, 3);
    EXPECT_EQ(buffer.get_stats().roundtrip, 1);
    buffer.reset();
    buffer.update_roundtrip(control(1, 2, 2));
    EXPECT_EQ(buffer.get_stats().min_roundtrip, 2);
}

}  // namespace
}  // namespace kelvra::norvane::jitter
