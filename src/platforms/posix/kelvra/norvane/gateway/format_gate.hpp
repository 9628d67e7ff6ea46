#pragma once

#include <cstdint>

namespace kelvra::norvane {

// Which released frames of a stream may reach its viewers when the drone changes video format.
// A viewer's session rebuilds its whole pipeline, and negotiates again, for a new format; it
// switches only at the first keyframe of that format, so that frames of another format, be they
// a change in progress or a sender alternating formats, cannot keep tearing viewers down.
// Frames of a format no session can send never switch it.
class FormatGate {
public:
    enum class Verdict : uint8_t {
        kForward,  // the format in force
        kSwitch,   // the first keyframe of a new format: it is in force from this frame on
        kDrop,     // another format, not (yet) switched to: the first such frame, worth a log line
        kDropAgain,  // more frames of a format already dropped
    };

    Verdict admit(uint8_t format, bool keyframe);
    // 0 until the first frame was admitted.
    uint8_t format() const { return format_; }

    static bool supported(uint8_t format) { return format == 1 || format == 2; }

private:
    uint8_t format_ = 0;
    uint8_t reported_drop_ = 0;  // format whose dropping was last reported
};

}  // namespace kelvra::norvane
