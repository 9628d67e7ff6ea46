#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvra::norvane {

// Picture size read from the header of a VP8 or VP9 keyframe.
struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const FrameSize&) const = default;
};

// The size a keyframe of `format` (1 VP8, 2 VP9) announces; nothing for an interframe, another
// format or bytes that are not a keyframe header. The bytes come from the drone: every read is
// checked against `size`.
std::optional<FrameSize> keyframe_size(uint8_t format, const uint8_t* data, size_t size);

// Name of a segment started at `utc_us`, which sorts by start time: "20261207T015030.123Z".
std::string segment_stem(int64_t utc_us);

// Where each frame a recorder receives goes: into the open segment, into a new one, or nowhere.
// A segment starts at a keyframe and is cut at the first keyframe once it has run its length,
// and at once on a change of format or picture size, a frame missed on the way, or a failure
// to write; after a failure nothing is recorded for kRetryUs. Presentation times are whole
// milliseconds since the segment's first frame (the file's time scale) and strictly increase.
class SegmentPlan {
public:
    static constexpr int64_t kRetryUs = 30'000'000;
    // Past this, a frame's time in 90 kHz ticks would not fit the 32 bits of its detections.
    static constexpr int64_t kMaxPtsMs = 0xFFFF'FFFFll / 90;

    enum class Action : uint8_t {
        kSkip,    // record nothing of this frame; close the open segment if `close`
        kAppend,  // write it into the open segment at `pts_ms`
        kStart,   // close the open segment if any, start a new one with this frame at 0
    };
    enum class Reason : uint8_t { kFirst, kLength, kFormat, kTimeLimit };
    struct Step {
        Action action = Action::kSkip;
        bool close = false;
        int64_t pts_ms = 0;
        Reason reason = Reason::kFirst;  // why a new segment starts or the open one closes
    };

    explicit SegmentPlan(int64_t segment_us) : segment_us_(segment_us) {}

    // The frame received at monotonic `now_us`; `size` is what its header announces if it is a
    // keyframe.
    Step next(int64_t now_us, uint8_t format, bool keyframe, std::optional<FrameSize> size);
    // Writing failed: the open segment is given up and recording pauses for kRetryUs.
    void failed(int64_t now_us);
    // Frames were lost before reaching the file: the open segment goes on from the next
    // keyframe, its time leaving the gap, since the frames between would not decode.
    void lost() { waiting_ = open_; }
    bool open() const { return open_; }
    bool paused(int64_t now_us) const { return now_us < retry_at_us_; }

private:
    Step start(int64_t now_us, uint8_t format, FrameSize size, Reason reason, bool close);

    int64_t segment_us_;
    bool open_ = false;
    bool waiting_ = false;  // for a keyframe, after frames were lost
    uint8_t format_ = 0;
    FrameSize size_{};
    int64_t start_us_ = 0;
    int64_t last_pts_ms_ = 0;
    int64_t retry_at_us_ = 0;
};

}  // namespace kelvra::norvane
