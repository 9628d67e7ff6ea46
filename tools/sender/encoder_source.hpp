#pragma once

#include <gst/gst.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_source.hpp"

namespace kelvra::norvane::sender {

struct EncoderSettings {
    msgs::video::VideoFormat format = msgs::video::VideoFormat::VP8;
    uint32_t width = 320;
    uint32_t height = 240;
    double fps = 30.0;
    uint32_t keyframe_interval = 30;
    uint32_t bitrate_kbps = 500;
    std::string pattern = "smpte";
    std::optional<uint64_t> frames;  // unset: until stopped
};

// Frames encoded in-process by a GStreamer pipeline from a moving test picture, pulled from an
// appsink as they are needed (the pipeline runs a few frames ahead).
class EncoderSource final : public FrameSource {
public:
    static std::unique_ptr<EncoderSource> open(const EncoderSettings& settings, std::string& error);
    ~EncoderSource() override;

    msgs::video::VideoFormat format() const override { return settings_.format; }
    std::optional<double> fps() const override { return settings_.fps; }
    uint32_t width() const override { return settings_.width; }
    uint32_t height() const override { return settings_.height; }
    bool next(SourceFrame& out) override;

private:
    struct ElementUnref {
        void operator()(GstElement* e) const { gst_object_unref(e); }
    };
    using ElementPtr = std::unique_ptr<GstElement, ElementUnref>;

    explicit EncoderSource(const EncoderSettings& settings) : settings_(settings) {}
    void report_pipeline_error();

    EncoderSettings settings_;
    ElementPtr pipeline_;
    ElementPtr sink_;
    std::vector<uint8_t> frame_;
};

}  // namespace kelvra::norvane::sender
