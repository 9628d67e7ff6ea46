// Fragment assembly: slots, sizes, detections, duplicates, and input that must not corrupt memory.

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

using Assembly = JitterTest;

TEST_F(Assembly, FragmentsInAnyOrderLandInTheirSlotsWithTheirDetections) {
    const Items items = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    const SentFrame key(5, 2 * 1400 + 321, true, items);
    key.push(buffer, 2);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 1u);
    key.push(buffer, 3);
    key.push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().output, 0u);
    key.push(buffer, 1);
    const std::vector<Frame> frames = buffer.get_frames_to_show();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].keyframe);
    EXPECT_EQ(frames[0].size, 2 * 1400 + 321u);
    EXPECT_EQ(frame_bytes(frames[0]), key.bytes);
    EXPECT_EQ(frames[0].detections, items);

    // A frame of detections alone has no video bytes.
    SentFrame(6, 0, false, Items{{4, 4, 4, 4, 4, 4}}).push_all(buffer);
    const std::vector<Frame> only = buffer.get_frames_to_show();
    ASSERT_EQ(only.size(), 1u);
    EXPECT_EQ(only[0].size, 0u);
    EXPECT_EQ(only[0].detections.size(), 1u);
}

TEST(DetectionsDecoding, CountBoundsAndShortPayloads) {
    const detection_item a{1, 2, 3, 4, 5, 6}, b{7, 8, 9, 10, 11, 12};
    Bytes cut = detections_payload(2, {a, b});
    cut.resize(4 + 11 + 4);  // the second item ends after x and y
    const std::vector<std::pair<Bytes, Items>> cases = {
        {detections_payload(3, {a, b}), {a, b, {}}},  // missing items read as zero
        {cut, {a, {7, 8, 0, 0, 0, 0}}},
        {detections_payload(125, {}), Items(125)},
        {detections_payload(126, {a}), {}},  // more than the scratch area holds
        {{1, 0, 0}, {}},
        {detections_payload(0, {}), {}},
    };
    for (const auto& [payload, expected] : cases) {
        ManualClock clock;
        JitterBuffer buffer{JitterBufferLogger{}, clock};
        push_raw(buffer, 1, 0, 2, kHasDetections, pattern(10, 1));
        push_raw(buffer, 1, 1, 2, kHasDetections | kDetectionsFragment, payload);
        const std::vector<Frame> frames = buffer.get_frames_to_show();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].size, 10u);
        EXPECT_EQ(frames[0].detections, expected);
    }
}

TEST_F(Assembly, RepeatedFragmentsOnlyCountAsDuplicates) {
    const SentFrame frame(9, 1400 + 5);
    frame.push(buffer, 0);
    frame.push(buffer, 0);
    frame.push(buffer, 1);
    frame.push(buffer, 1);  // of a complete frame: still only a duplicate
    EXPECT_EQ(buffer.get_stats().duplicates_number, 2u);
    EXPECT_EQ(show(), Numbers{9});
}

// None of these may write outside the frame buffer or leave bytes of a frame unwritten.
TEST_F(Assembly, MalformedFragmentsAreRejectedAndTheirSlotsStayOpen) {
    const Items items = {{1, 1, 1, 1, 1, 1}};
    const SentFrame frame(2, 2 * 1400 + 7, false, items);
    push_raw(buffer, 2, 4, 4, kHasDetections, pattern(7, 0));
    push_raw(buffer, 2, 0, 4, kHasDetections, pattern(1401, 0));
    push_raw(buffer, 2, 2, 4, kHasDetections, pattern(1407, 0));  // the last one may not overrun
    push_raw(buffer, 2, 1, 4, kHasDetections | kDetectionsFragment, detections_payload(1, items));
    push_raw(buffer, 2, 3, 4, kHasDetections, pattern(7, 0));  // video in the detections slot
    EXPECT_TRUE(log.has("error Wrong fragment id 4 for seq 2 with frags num 4"));
    EXPECT_TRUE(log.has("error Oversized fragment id 2 for seq 2: 1407/1400"));
    EXPECT_TRUE(
        log.has("error Misplaced fragment id 1 for seq 2: detections fragment true, "
                "frags num 4, has detections true"));
    EXPECT_EQ(log.count_starting("error "), 5);
    frame.push_all(buffer);
    EXPECT_EQ(buffer.get_stats().duplicates_number, 0u);
    const std::vector<Frame> frames = buffer.get_frames_to_show();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frame_bytes(frames[0]), frame.bytes);
    EXPECT_EQ(frames[0].detections, items);
}

TEST_F(Assembly, FrameWithoutFragmentsNeverCompletes) {
    push_raw(buffer, 6, 0, 0, 0, pattern(10, 0));
    EXPECT_TRUE(log.has("error Wrong fragment id 0 for seq 6 with frags num 0"));
    clock.advance(15'000'001);
    buffer.cleanup_pending_queue(clock.now_us());
    EXPECT_EQ(buffer.queue_stats().pending, 0u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 1u);
}

TEST_F(Assembly, ShortMiddleFragmentKeepsTheRestOfItsSlotZeroed) {
    push_raw(buffer, 1, 0, 2, 0, pattern(1000, 3));
    EXPECT_TRUE(log.has("error Unexpected size for non last fragment: 1000/1400"));
    push_raw(buffer, 1, 1, 2, 0, pattern(20, 4));
    Bytes expected = pattern(1000, 3);
    expected.resize(1400, 0);
    const Bytes tail = pattern(20, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    const std::vector<Frame> frames = buffer.get_frames_to_show();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frame_bytes(frames[0]), expected);
}

TEST_F(Assembly, QueueLimitsDropTheNewestEntry) {
    for (uint32_t seq = 1; seq <= 15; ++seq) SentFrame(seq, 2800, true).push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().keyframe_queue, 14u);
    for (const auto& request : buffer.get_retransmit_requests(1000)) {
        EXPECT_LT(request.sequence_number, 15u);  // 15 left its queue: never requested
    }
    for (uint32_t seq = 16; seq <= 35; ++seq) SentFrame(seq, 2800).push(buffer, 0);
    EXPECT_EQ(buffer.queue_stats().incremental_queue, 19u);
    SentFrame(35, 2800).push(buffer, 1);  // a dropped record still completes
    EXPECT_TRUE(
        log.has("error Erase wrong number 0 of frames from incremental retransmission queue"));
    EXPECT_EQ(buffer.queue_stats().output, 1u);
}

TEST_F(Assembly, CompletedKeyframeDiscardsEverythingOlder) {
    SentFrame(27, 100).push_all(buffer);
    SentFrame(28, 100).push_all(buffer);
    SentFrame(29, 2800).push(buffer, 0);
    SentFrame(30, 100, true).push_all(buffer);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 3u);
    EXPECT_EQ(show(), Numbers{30});
}

TEST_F(Assembly, FrameCompletingBehindAShownFrameIsDropped) {
    const SentFrame late(15, 2800);
    late.push(buffer, 0);
    SentFrame(20, 100).push_all(buffer);
    clock.advance(1);  // no roundtrip known yet: 15 is given up at once
    EXPECT_EQ(show(), Numbers{20});
    late.push(buffer, 1);
    EXPECT_EQ(buffer.get_stats().delayed_frames, 1u);
    EXPECT_EQ(buffer.get_stats().skipped_frames, 2u);  // given up, then completed too late
    EXPECT_EQ(buffer.queue_stats().output, 0u);
}

TEST_F(Assembly, RoundtripOfAnOlderControlRecordIsIgnored) {
    buffer.update_roundtrip(control(10, 4000, 9001));
    EXPECT_EQ(buffer.get_stats().roundtrip, 6500);
    buffer.update_roundtrip(control(9, 1, 1));
    buffer.update_roundtrip(control(10, UINT32_MAX, 3));  // the sum wraps in 32 bits
    EXPECT_EQ(buffer.get_stats().roundtrip, 1);
    buffer.reset();
    buffer.update_roundtrip(control(1, 2, 2));
    EXPECT_EQ(buffer.get_stats().min_roundtrip, 2);
}

TEST_F(Assembly, MovedBufferKeepsFramesInProgress) {
    const SentFrame frame(4, 1400 + 1, true);
    frame.push(buffer, 0);
    JitterBuffer moved(std::move(buffer));
    JitterBuffer assigned{JitterBufferLogger{}, clock};
    assigned = std::move(moved);
    frame.push(assigned, 1);
    EXPECT_EQ(numbers(assigned.get_frames_to_show()), Numbers{4});
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
