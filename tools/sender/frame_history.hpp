#pragma once

// The frames sent over the last couple of seconds, kept so that any of their fragments can be
// sent again when the gateway asks for it. A ring of slots indexed by frame number; each slot
// keeps its buffer, so after the first round nothing is allocated unless a frame is larger than
// any before it in that slot.

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "detections.hpp"
#include "fragmenter.hpp"

namespace kelvra::norvane::sender {

constexpr double kHistorySeconds = 2.0;

struct StoredFrame {
    bool used = false;
    uint32_t frame_number = 0;
    bool keyframe = false;
    bool with_detections = false;
    std::vector<uint8_t> bytes;
    DetectionsFragment detections;

    std::optional<FrameFragments> fragments() const {
        return FrameFragments::make(frame_number, keyframe, {bytes.data(), bytes.size()},
                                    detections.view(), with_detections);
    }
};

class FrameHistory {
public:
    explicit FrameHistory(size_t frames) : slots_(frames == 0 ? 1 : frames) {}

    // Enough slots for kHistorySeconds at `fps`.
    static size_t frames_for(double fps) {
        const double n = std::ceil(fps * kHistorySeconds) + 1;
        return n < 2 ? 2 : static_cast<size_t>(n);
    }

    // Stores a frame, replacing the oldest; returns the stored copy.
    StoredFrame& store(uint32_t frame_number, bool keyframe, ConstSlice<uint8_t> bytes) {
        StoredFrame& slot = slots_[frame_number % slots_.size()];
        slot.used = true;
        slot.frame_number = frame_number;
        slot.keyframe = keyframe;
        slot.with_detections = false;
        slot.detections.size = 0;
        slot.bytes.assign(bytes.data, bytes.data + bytes.size);
        return slot;
    }

    // The frame, while it is still kept.
    const StoredFrame* find(uint32_t frame_number) const {
        const StoredFrame& slot = slots_[frame_number % slots_.size()];
        if (!slot.used || slot.frame_number != frame_number) return nullptr;
        return &slot;
    }

    size_t capacity() const { return slots_.size(); }

private:
    std::vector<StoredFrame> slots_;
};

}  // namespace kelvra::norvane::sender
