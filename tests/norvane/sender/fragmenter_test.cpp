#include "../../../tools/sender/fragmenter.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "../../../tools/sender/detections.hpp"

namespace kelvra::norvane::sender {
namespace {

std::vector<uint8_t> counting_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

ConstSlice<uint8_t> view(const std::vector<uint8_t>& v) {
    return {v.data(), v.size()};
}

TEST(Fragmenter, CutsIntoFullSlotsAndAShorterLastOne) {
    struct Case {
        size_t frame;
        uint16_t count;
        size_t last;
    };
    for (const Case c : {Case{1, 1, 1}, Case{1399, 1, 1399}, Case{1400, 1, 1400}, Case{1401, 2, 1},
                         Case{2800, 2, 1400}, Case{5239, 4, 1039}}) {
        SCOPED_TRACE(c.frame);
        const auto bytes = counting_bytes(c.frame);
        const auto f = FrameFragments::make(9, false, view(bytes), {}, false);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->count(), c.count);
        std::vector<uint8_t> joined;
        for (uint16_t i = 0; i < f->count(); ++i) {
            const FragmentView v = f->at(i);
            EXPECT_EQ(v.info.sequence_number, 9u);
            EXPECT_EQ(v.info.fragment_id, i);
            EXPECT_EQ(v.info.fragments_number, c.count);
            EXPECT_EQ(v.bytes.size, i + 1 == c.count ? c.last : kFragmentSize);
            joined.insert(joined.end(), v.bytes.begin(), v.bytes.end());
        }
        EXPECT_EQ(joined, bytes);
    }
}

TEST(Fragmenter, EmptyFrameIsOneEmptyFragmentNeverZeroFragments) {
    const auto f = FrameFragments::make(3, true, {}, {}, false);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->count(), 1);
    EXPECT_EQ(f->at(0).info.fragments_number, 1);
    EXPECT_EQ(f->at(0).bytes.size, 0u);
}

TEST(Fragmenter, RejectsFramesWhoseFragmentsCannotBeNumbered) {
    // The limit keeps room for a detections fragment within 16-bit fragment numbers.
    // Only the sizes are looked at here; no fragment is taken, so the bytes need not exist.
    const uint8_t dummy = 0;
    const ConstSlice<uint8_t> too_big{&dummy, kMaxFrameBytes + 1};
    EXPECT_FALSE(FrameFragments::make(0, false, too_big, {}, false));
    const ConstSlice<uint8_t> largest{&dummy, kMaxFrameBytes};
    const auto f = FrameFragments::make(0, false, largest, {}, true);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->count(), 65535);
}

TEST(Fragmenter, TypeBitsAreFrameWideAndMarkTheDetectionsFragment) {
    const auto bytes = counting_bytes(3000);
    DetectionsFragment det;
    make_detections_fragment(5, 2, 320, 240, det);
    for (const bool key : {false, true}) {
        SCOPED_TRACE(key);
        const auto f = FrameFragments::make(5, key, view(bytes), det.view(), true);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->count(), 4);  // three video fragments and the detections
        EXPECT_EQ(f->video_fragments(), 3);
        const uint8_t frame_bits = (key ? 1 : 0) | 4;
        for (uint16_t i = 0; i < 3; ++i) {
            EXPECT_EQ(f->at(i).info.type, frame_bits);
            EXPECT_EQ(f->at(i).info.fragments_number, 4);
        }
        // Whichever fragment arrives first tells the receiver keyframe and detections.
        const FragmentView last = f->at(3);
        EXPECT_EQ(last.info.type, frame_bits | 2);
        EXPECT_EQ(last.info.fragment_id, 3);
        EXPECT_EQ(last.bytes.data, det.bytes.data());
        EXPECT_EQ(last.bytes.size, det.size);
    }
    const auto plain = FrameFragments::make(5, true, view(bytes), {}, false);
    EXPECT_EQ(plain->at(0).info.type, 1);
}

TEST(Detections, FragmentIsCountThenElevenBytesPerItem) {
    DetectionsFragment det;
    make_detections_fragment(10, 2, 320, 240, det);
    ASSERT_EQ(det.size, 4u + 2 * 11);
    const detection_item a = synthetic_detection(10, 0, 320, 240);
    const detection_item b = synthetic_detection(10, 1, 320, 240);
    // x = (10*4 + 0) % 288 = 40, y = (10*3) % 208 = 30; x = 77, y = 83 for the second box.
    EXPECT_EQ(a.x, 40);
    EXPECT_EQ(b.y, 83);
    const std::vector<uint8_t> expected = {
        2,  0, 0,  0,                         // count
        40, 0, 30, 0, 32, 0, 32, 0, 0, 0, 0,  // x y w h id type
        77, 0, 83, 0, 32, 0, 32, 0, 1, 0, 1,  //
    };
    EXPECT_EQ(std::vector<uint8_t>(det.bytes.begin(), det.bytes.begin() + det.size), expected);
}

TEST(Detections, BoxesStayInsideThePictureAndMove) {
    for (uint32_t frame = 0; frame < 200; frame += 7) {
        for (uint32_t i = 0; i < kMaxDetections; i += 11) {
            const detection_item d = synthetic_detection(frame, i, 320, 240);
            EXPECT_LE(d.x + d.w, 320);
            EXPECT_LE(d.y + d.h, 240);
        }
    }
    EXPECT_NE(synthetic_detection(1, 0, 320, 240).x, synthetic_detection(2, 0, 320, 240).x);
    // A picture smaller than a box (or of unknown size) must not divide by zero.
    EXPECT_EQ(synthetic_detection(5, 3, 0, 0).x, 0);
}

TEST(Detections, CountIsCappedToWhatTheReceiverDecodes) {
    DetectionsFragment det;
    make_detections_fragment(0, 500, 320, 240, det);
    EXPECT_EQ(messgen::load_le<uint32_t>(det.bytes.data()), kMaxDetections);
    EXPECT_EQ(det.size, 4u + 11 * kMaxDetections);
    EXPECT_LE(det.size, kFragmentSize);
}

}  // namespace
}  // namespace kelvra::norvane::sender
