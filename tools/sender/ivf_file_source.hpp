#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frame_source.hpp"
#include "ivf.hpp"

namespace kelvra::norvane::sender {

// The frames of an IVF file, read into memory and indexed once; replayed from the start when
// looping.
class IvfFileSource final : public FrameSource {
public:
    // Fails, with a reason, for an unreadable file, a bad header or a file without frames.
    // A damaged tail is reported on stderr and left out.
    static std::unique_ptr<IvfFileSource> open(const std::string& path, bool loop,
                                               std::string& error);

    msgs::video::VideoFormat format() const override { return header_.format; }
    std::optional<double> fps() const override { return header_.fps(); }
    uint32_t width() const override { return header_.width; }
    uint32_t height() const override { return header_.height; }
    bool next(SourceFrame& out) override;

    size_t frame_count() const { return frames_.size(); }

private:
    struct IndexedFrame {
        size_t offset;
        size_t size;
        bool keyframe;
    };

    IvfFileSource() = default;

    std::vector<uint8_t> file_;
    IvfHeader header_;
    std::vector<IndexedFrame> frames_;
    size_t position_ = 0;
    bool loop_ = false;
};

}  // namespace kelvra::norvane::sender
