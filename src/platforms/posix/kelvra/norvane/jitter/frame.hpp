#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::jitter {

// A completed frame. `data` is the frame buffer of its record, shared, never copied.
struct Frame {
    uint32_t sequence_number = 0;
    bool keyframe = false;
    std::shared_ptr<uint8_t[]> data;
    uint32_t size = 0;  // video bytes at the start of `data`
    std::vector<msgs::video::detection_item> detections;
    uint8_t video_format = 0;  // as announced with the frame's first stored fragment
};

// Heap order of the output queue: the top is the frame with the smallest frame number.
struct OutputHeapComp {
    bool operator()(const Frame& a, const Frame& b) const {
        return a.sequence_number > b.sequence_number;
    }
};

}  // namespace kelvra::norvane::jitter
