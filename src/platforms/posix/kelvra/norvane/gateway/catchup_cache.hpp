#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvra/core/keyframe_run.hpp"
#include "kelvra/norvane/jitter/frame.hpp"

namespace kelvra::norvane {

// The frames a stream released since its latest keyframe, given first to a viewer who joins
// between keyframes so that it can decode a picture at once instead of waiting for the drone's
// next keyframe. The released frames themselves are kept: their buffers are shared, not copied.
class CatchupCache {
public:
    static constexpr uint64_t kDefaultMaxBytes = 8ull << 20;
    static constexpr size_t kDefaultMaxFrames = 300;

    explicit CatchupCache(uint64_t max_bytes = kDefaultMaxBytes,
                          size_t max_frames = kDefaultMaxFrames)
        : run_(max_bytes, max_frames, kReservedFrames) {}

    // Takes a frame just released to the viewers.
    void add(jitter::Frame&& frame) {
        const bool keyframe = frame.keyframe;
        const uint64_t bytes =
            frame.size + frame.detections.size() * sizeof(msgs::video::detection_item);
        run_.add(std::move(frame), keyframe, bytes);
    }
    // Forgets the run, whose frames no longer decode for a new viewer (a new format).
    void reset() { run_.reset(); }

    const std::vector<jitter::Frame>& frames() const { return run_.frames(); }
    uint64_t bytes() const { return run_.bytes(); }

private:
    static constexpr size_t kReservedFrames = 512;
    KeyframeRun<jitter::Frame> run_;
};

}  // namespace kelvra::norvane
