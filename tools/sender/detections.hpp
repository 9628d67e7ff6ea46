#pragma once

// Synthetic object detections: boxes that drift across the picture from frame to frame, and
// their encoding as the payload of a frame's detections fragment (a uint32 count followed by
// 11-byte items).

#include <array>
#include <cstddef>
#include <cstdint>

#include "fragmenter.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

using msgs::video::detection_item;

// The receiver decodes at most this many items per frame.
constexpr uint32_t kMaxDetections = 125;
constexpr uint16_t kBoxSize = 32;  // pixels, width and height

// Encoded detections fragment; `size` is 0 when there is none.
struct DetectionsFragment {
    std::array<uint8_t, kFragmentSize> bytes{};
    size_t size = 0;

    ConstSlice<uint8_t> view() const { return {bytes.data(), size}; }
};

// Box `index` of `frame_number` in a picture of `width` × `height` pixels.
inline detection_item synthetic_detection(uint32_t frame_number, uint32_t index, uint32_t width,
                                          uint32_t height) {
    const uint32_t span_x = width > kBoxSize ? width - kBoxSize : 1;
    const uint32_t span_y = height > kBoxSize ? height - kBoxSize : 1;
    detection_item item;
    item.x = static_cast<uint16_t>((frame_number * 4 + index * 37) % span_x);
    item.y = static_cast<uint16_t>((frame_number * 3 + index * 53) % span_y);
    item.w = kBoxSize;
    item.h = kBoxSize;
    item.id = static_cast<uint16_t>(index);
    item.type = static_cast<uint8_t>(index % 4);
    return item;
}

// Fills `out` with `count` (≤ kMaxDetections) synthetic boxes for the frame.
inline void make_detections_fragment(uint32_t frame_number, uint32_t count, uint32_t width,
                                     uint32_t height, DetectionsFragment& out) {
    if (count > kMaxDetections) count = kMaxDetections;
    std::array<detection_item, kMaxDetections> items;
    for (uint32_t i = 0; i < count; ++i)
        items[i] = synthetic_detection(frame_number, i, width, height);
    msgs::video::detection_item_list list;
    list.detections = {items.data(), count};
    messgen::Writer writer(out.bytes.data());
    list.write_payload(writer);
    out.size = list.payload_size();
}

}  // namespace kelvra::norvane::sender
