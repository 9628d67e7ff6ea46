#pragma once

// Tells keyframes from the first bytes of an encoded frame.

#include <cstdint>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

using msgs::video::VideoFormat;

// VP8 frame tag (RFC 6386, 9.1): bit 0 of the first byte is 0 for a key frame.
inline bool is_vp8_keyframe(ConstSlice<uint8_t> frame) {
    return frame.size >= 1 && (frame.data[0] & 0x01) == 0;
}

// VP9 uncompressed header, read most significant bit first: frame_marker (2 bits, 0b10),
// profile_low_bit, profile_high_bit, a reserved zero bit in profile 3, show_existing_frame,
// frame_type (0 for a key frame). A frame that only shows an earlier one is not a key frame.
// In a superframe the first frame's header leads, which is the one read here.
inline bool is_vp9_keyframe(ConstSlice<uint8_t> frame) {
    if (frame.size < 1) return false;
    const uint8_t b = frame.data[0];
    if ((b >> 6) != 0b10) return false;
    const int profile = ((b >> 5) & 1) | (((b >> 4) & 1) << 1);
    int bit = 3;  // next bit to read, counting down from bit 7
    if (profile == 3) {
        if ((b >> bit) & 1) return false;  // reserved bit must be zero
        --bit;
    }
    const bool show_existing_frame = (b >> bit) & 1;
    if (show_existing_frame) return false;
    --bit;
    const bool frame_type = (b >> bit) & 1;
    return !frame_type;
}

inline bool is_keyframe(VideoFormat format, ConstSlice<uint8_t> frame) {
    return format == VideoFormat::VP9 ? is_vp9_keyframe(frame) : is_vp8_keyframe(frame);
}

}  // namespace kelvra::norvane::sender
