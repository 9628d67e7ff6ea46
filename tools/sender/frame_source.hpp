#pragma once

// Where the encoded frames come from: an IVF file or a live encoder.

#include <cstdint>
#include <optional>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

struct SourceFrame {
    ConstSlice<uint8_t> bytes;  // valid until the next call to `next`
    bool keyframe = false;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual msgs::video::VideoFormat format() const = 0;
    // The frame rate the source was made for, when it knows one.
    virtual std::optional<double> fps() const = 0;
    virtual uint32_t width() const = 0;
    virtual uint32_t height() const = 0;
    // The next frame; false once the source has ended (a failure is reported on stderr first).
    virtual bool next(SourceFrame& out) = 0;
};

}  // namespace kelvra::norvane::sender
