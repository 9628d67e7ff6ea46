#include "sender/fragmenter.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "sender/detections.hpp"

namespace kelvra::norvane::sender {
namespace {

TEST(Fragmenter, FullSlotsAShorterLastOneAndTheNumberingLimit) {
    for (const auto& [frame, count, last] : {std::tuple<size_t, uint16_t, size_t>{0, 1, 0},
                                             {1, 1, 1},
                                             {1400, 1, 1400},
                                             {1401, 2, 1},
                                             {5239, 4, 1039}}) {
        SCOPED_TRACE(frame);
        std::vector<uint8_t> bytes(frame);
        for (size_t i = 0; i < frame; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
        const auto f = FrameFragments::make(9, false, {bytes.data(), bytes.size()}, {}, false);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->count(), count) << "an empty frame is one empty fragment, never none";
        std::vector<uint8_t> joined;
        for (uint16_t i = 0; i < count; ++i) {
            const FragmentView v = f->at(i);
            EXPECT_EQ(v.info.sequence_number, 9u);
            EXPECT_EQ(v.info.fragment_id, i);
            EXPECT_EQ(v.info.fragments_number, count);
            EXPECT_EQ(v.bytes.size, i + 1 == count ? last : kFragmentSize);
            joined.insert(joined.end(), v.bytes.begin(), v.bytes.end());
        }
        EXPECT_EQ(joined, bytes);
    }
    // The limit keeps room for a detections fragment within 16-bit fragment numbers. Only sizes
    // are looked at, so the bytes need not exist.
    const uint8_t dummy = 0;
    EXPECT_FALSE(FrameFragments::make(0, false, {&dummy, kMaxFrameBytes + 1}, {}, false));
    const auto largest = FrameFragments::make(0, false, {&dummy, kMaxFrameBytes}, {}, true);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->count(), 65535);
}

TEST(Fragmenter, TypeBitsAreFrameWideAndMarkTheDetectionsFragment) {
    const std::vector<uint8_t> bytes(3000, 1);
    DetectionsFragment det;
    make_detections_fragment(5, 2, 320, 240, det);
    for (const bool key : {false, true}) {
        SCOPED_TRACE(key);
        const auto f = FrameFragments::make(5, key, {bytes.data(), bytes.size()}, det.view(), true);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->count(), 4);  // three video fragments and the detections
        EXPECT_EQ(f->video_fragments(), 3);
        // Whichever fragment arrives first tells the receiver keyframe and detections.
        const uint8_t frame_bits = (key ? 1 : 0) | 4;
        for (uint16_t i = 0; i < 4; ++i) {
            EXPECT_EQ(f->at(i).info.type, i == 3 ? (frame_bits | 2) : frame_bits);
            EXPECT_EQ(f->at(i).info.fragments_number, 4);
        }
        EXPECT_EQ(f->at(3).bytes.data, det.bytes.data());
        EXPECT_EQ(f->at(3).bytes.size, det.size);
    }
    EXPECT_EQ(FrameFragments::make(5, true, {bytes.data(), 10}, {}, false)->at(0).info.type, 1);
}

TEST(Detections, CountThenElevenBytesPerItemCappedAndInsideThePicture) {
    DetectionsFragment det;
    make_detections_fragment(10, 2, 320, 240, det);
    // x = (10*4 + 0) % 288 = 40, y = (10*3) % 208 = 30; x = 77, y = 83 for the second box.
    const std::vector<uint8_t> expected = {
        2,  0, 0,  0,                         // count
        40, 0, 30, 0, 32, 0, 32, 0, 0, 0, 0,  // x y w h id type
        77, 0, 83, 0, 32, 0, 32, 0, 1, 0, 1,  //
    };
    ASSERT_EQ(det.size, expected.size());
    EXPECT_EQ(std::vector<uint8_t>(det.bytes.begin(), det.bytes.begin() + det.size), expected);

    make_detections_fragment(0, 500, 320, 240, det);
    EXPECT_EQ(messgen::load_le<uint32_t>(det.bytes.data()), kMaxDetections);
    EXPECT_EQ(det.size, 4u + 11 * kMaxDetections);
    EXPECT_LE(det.size, kFragmentSize);

    for (uint32_t frame = 0; frame < 200; frame += 7) {
        for (uint32_t i = 0; i < kMaxDetections; i += 11) {
            const detection_item d = synthetic_detection(frame, i, 320, 240);
            EXPECT_LE(d.x + d.w, 320);
            EXPECT_LE(d.y + d.h, 240);
        }
    }
    // A picture smaller than a box (or of unknown size) must not divide by zero.
    EXPECT_EQ(synthetic_detection(5, 3, 0, 0).x, 0);
}

}  // namespace
}  // namespace kelvra::norvane::sender
