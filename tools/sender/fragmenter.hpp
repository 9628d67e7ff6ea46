#pragma once

// Cuts one encoded frame into the fragments a sender puts in its datagrams: 1400-byte slots of
// video, the last one shorter, plus an optional last fragment that carries the frame's detections
// instead of video.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

constexpr size_t kFragmentSize = 1400;
constexpr size_t kMaxFragmentsPerFrame = 65535;  // `fragments_number` is 16 bits wide

using msgs::video::video_fragment_info;

// Largest frame that can be announced: every video fragment and a detections fragment counted.
constexpr size_t kMaxFrameBytes = (kMaxFragmentsPerFrame - 1) * kFragmentSize;

struct FragmentView {
    video_fragment_info info;
    ConstSlice<uint8_t> bytes;
};

// The fragments of one frame; a view over the frame's bytes and its encoded detections.
class FrameFragments {
public:
    // `detections` is the encoded detections fragment, used only when `with_detections` is set.
    // Fails for a frame too large to number its fragments in 16 bits.
    static std::optional<FrameFragments> make(uint32_t frame_number, bool keyframe,
                                              ConstSlice<uint8_t> frame,
                                              ConstSlice<uint8_t> detections,
                                              bool with_detections) {
        if (frame.size > kMaxFrameBytes) return std::nullopt;
        if (with_detections && detections.size > kFragmentSize) return std::nullopt;
        // An empty frame is still announced as one (empty) fragment: a frame of zero fragments
        // could never be completed by the receiver.
        const size_t video = frame.size == 0 ? 1 : (frame.size + kFragmentSize - 1) / kFragmentSize;
        FrameFragments out;
        out.frame_number_ = frame_number;
        out.frame_ = frame;
        out.detections_ = detections;
        out.video_fragments_ = static_cast<uint16_t>(video);
        out.has_detections_ = with_detections;
        // Every fragment carries the frame-wide bits: the receiver takes them from whichever
        // fragment of the frame happens to arrive first.
        out.frame_type_ =
            static_cast<uint8_t>((keyframe ? video_fragment_info::KEYFRAME : 0) |
                                 (with_detections ? video_fragment_info::HAS_DETECTIONS : 0));
        return out;
    }

    uint32_t frame_number() const { return frame_number_; }
    uint16_t count() const { return static_cast<uint16_t>(video_fragments_ + has_detections_); }
    uint16_t video_fragments() const { return video_fragments_; }
    bool has_detections() const { return has_detections_; }

    // Fragment `index` (< count()).
    FragmentView at(uint16_t index) const {
        FragmentView out;
        out.info.sequence_number = frame_number_;
        out.info.fragment_id = index;
        out.info.fragments_number = count();
        out.info.type = frame_type_;
        if (index >= video_fragments_) {
            out.info.type |= video_fragment_info::DETECTIONS_FRAGMENT;
            out.bytes = detections_;
            return out;
        }
        const size_t offset = size_t{index} * kFragmentSize;
        const size_t left = frame_.size > offset ? frame_.size - offset : 0;
        out.bytes = {frame_.data + offset, left < kFragmentSize ? left : kFragmentSize};
        return out;
    }

private:
    FrameFragments() = default;

    uint32_t frame_number_ = 0;
    ConstSlice<uint8_t> frame_;
    ConstSlice<uint8_t> detections_;
    uint16_t video_fragments_ = 0;
    bool has_detections_ = false;
    uint8_t frame_type_ = 0;
};

}  // namespace kelvra::norvane::sender
