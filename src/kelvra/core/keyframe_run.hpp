#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelvra {

// The frames of a video stream since its latest keyframe: what a decoder that starts now needs
// to show the current picture. Bounded in bytes and in frames; a run that would outgrow either
// bound is dropped whole, since a run without its start decodes nothing, and stays empty until
// the next keyframe. Frames before the first keyframe are not kept either.
template <typename Frame>
class KeyframeRun {
public:
    // Storage for up to `reserved_frames` is reserved once, so that a run of a usual length never
    // reallocates while frames flow.
    KeyframeRun(uint64_t max_bytes, size_t max_frames, size_t reserved_frames)
        : max_bytes_(max_bytes), max_frames_(max_frames) {
        frames_.reserve(std::min(max_frames, reserved_frames));
    }

    // A keyframe starts a new run; any other frame extends the run there is.
    void add(Frame&& frame, bool keyframe, uint64_t bytes) {
        if (keyframe) {
            reset();
        } else if (frames_.empty()) {
            return;
        }
        if (frames_.size() + 1 > max_frames_ || bytes_ + bytes > max_bytes_) {
            reset();
            return;
        }
        bytes_ += bytes;
        frames_.push_back(std::move(frame));
    }

    void reset() {
        frames_.clear();
        bytes_ = 0;
    }

    const std::vector<Frame>& frames() const { return frames_; }
    uint64_t bytes() const { return bytes_; }
    bool empty() const { return frames_.empty(); }

private:
    uint64_t max_bytes_;
    size_t max_frames_;
    std::vector<Frame> frames_;
    uint64_t bytes_ = 0;
};

}  // namespace kelvra
