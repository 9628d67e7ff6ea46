#include "kelvra/norvane/webrtc/recording_plan.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>

namespace kelvra::norvane {
namespace {

// Reads bits most significant first; reading past the end yields zeros and marks it.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t read(unsigned bits) {
        uint32_t value = 0;
        for (unsigned i = 0; i < bits; ++i, ++position_) {
            const size_t byte = position_ / 8;
            if (byte >= size_) {
                overrun_ = true;
                return 0;
            }
            value = (value << 1) | ((data_[byte] >> (7 - position_ % 8)) & 1u);
        }
        return value;
    }
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    bool overrun_ = false;
};

std::optional<FrameSize> vp8_keyframe_size(const uint8_t* data, size_t size) {
    // Frame tag (3 bytes, bit 0 clear on a keyframe), start code 9d 01 2a, then 14-bit width
    // and height, little-endian, each with two bits of scaling above.
    if (size < 10 || (data[0] & 1) != 0) return std::nullopt;
    if (data[3] != 0x9d || data[4] != 0x01 || data[5] != 0x2a) return std::nullopt;
    const uint32_t width = (data[6] | (data[7] << 8)) & 0x3fff;
    const uint32_t height = (data[8] | (data[9] << 8)) & 0x3fff;
    if (width == 0 || height == 0) return std::nullopt;
    return FrameSize{width, height};
}

std::optional<FrameSize> vp9_keyframe_size(const uint8_t* data, size_t size) {
    BitReader bits(data, size);
    if (bits.read(2) != 2) return std::nullopt;  // frame marker
    const uint32_t low = bits.read(1);
    const uint32_t profile = (bits.read(1) << 1) | low;
    if (profile == 3) bits.read(1);
    if (bits.read(1) != 0) return std::nullopt;  // shows an existing frame
    if (bits.read(1) != 0) return std::nullopt;  // not a keyframe
    bits.read(2);                                // show_frame, error_resilient_mode
    if (bits.read(24) != 0x498342) return std::nullopt;
    if (profile >= 2) bits.read(1);  // ten or twelve bit
    constexpr uint32_t kRgb = 7;
    if (bits.read(3) != kRgb) {
        bits.read(1);  // colour range
        if (profile == 1 || profile == 3) bits.read(3);
    } else if (profile == 1 || profile == 3) {
        bits.read(1);
    }
    const uint32_t width = bits.read(16) + 1;
    const uint32_t height = bits.read(16) + 1;
    if (bits.overrun()) return std::nullopt;
    return FrameSize{width, height};
}

}  // namespace

std::optional<FrameSize> keyframe_size(uint8_t format, const uint8_t* data, size_t size) {
    if (data == nullptr) return std::nullopt;
    if (format == 1) return vp8_keyframe_size(data, size);
    if (format == 2) return vp9_keyframe_size(data, size);
    return std::nullopt;
}

std::string segment_stem(int64_t utc_us) {
    const std::time_t seconds = static_cast<std::time_t>(utc_us / 1'000'000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}.{:03}Z", t.tm_year + 1900, t.tm_mon + 1,
                       t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, (utc_us / 1000) % 1000);
}

SegmentPlan::Step SegmentPlan::next(int64_t now_us, uint8_t format, bool keyframe,
                                    std::optional<FrameSize> size) {
    if (paused(now_us)) return {};
    const bool can_start = keyframe && size.has_value();
    if (!open_) {
        return can_start ? start(now_us, format, *size, Reason::kFirst, false) : Step{};
    }
    if (format != format_ || (size && *size != size_)) {
        // Frames of another format or size do not belong in this file.
        if (can_start) return start(now_us, format, *size, Reason::kFormat, true);
        open_ = false;
        return {Action::kSkip, true, 0, Reason::kFormat};
    }
    if (waiting_) {
        if (!keyframe) return {};
        waiting_ = false;
    }
    if (can_start && now_us - start_us_ >= segment_us_) {
        return start(now_us, format, *size, Reason::kLength, true);
    }
    const int64_t pts_ms = std::max((now_us - start_us_) / 1000, last_pts_ms_ + 1);
    if (pts_ms > kMaxPtsMs) {
        // No keyframe for half a day: the times of this file's detections would wrap.
        if (can_start) return start(now_us, format, *size, Reason::kTimeLimit, true);
        open_ = false;
        return {Action::kSkip, true, 0, Reason::kTimeLimit};
    }
    last_pts_ms_ = pts_ms;
    return {Action::kAppend, false, pts_ms, Reason::kFirst};
}

SegmentPlan::Step SegmentPlan::start(int64_t now_us, uint8_t format, FrameSize size, Reason reason,
                                     bool close) {
    open_ = true;
    waiting_ = false;
    format_ = format;
    size_ = size;
    start_us_ = now_us;
    last_pts_ms_ = 0;
    return {Action::kStart, close, 0, reason};
}

void SegmentPlan::failed(int64_t now_us) {
    open_ = false;
    retry_at_us_ = now_us + kRetryUs;
}

}  // namespace kelvra::norvane
