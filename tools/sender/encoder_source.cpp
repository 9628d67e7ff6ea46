#include "encoder_source.hpp"

#include <fmt/core.h>
#include <gst/app/gstappsink.h>

#include <cstdio>

namespace kelvra::norvane::sender {
namespace {

constexpr GstClockTime kPullTimeout = 5 * GST_SECOND;
constexpr size_t kFrameReserve = 256 * 1024;

struct SampleUnref {
    void operator()(GstSample* s) const { gst_sample_unref(s); }
};
struct MessageUnref {
    void operator()(GstMessage* m) const { gst_message_unref(m); }
};
struct BusUnref {
    void operator()(GstBus* b) const { gst_object_unref(b); }
};
struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
struct CharFree {
    void operator()(gchar* s) const { g_free(s); }
};

std::string encoder_description(const EncoderSettings& s) {
    // Real-time settings: no lookahead, so every buffer is one shown frame and no alt-ref
    // frames are held back. VP8 gets a fixed speed (negative cpu-used): otherwise it adapts its
    // speed to the time each frame took, and the same run would not give the same frames on a
    // busy machine.
    const unsigned bitrate_bps = s.bitrate_kbps * 1000u;
    if (s.format == msgs::video::VideoFormat::VP9)
        return fmt::format(
            "vp9enc deadline=1 cpu-used=8 lag-in-frames=0 keyframe-max-dist={} target-bitrate={}",
            s.keyframe_interval, bitrate_bps);
    return fmt::format(
        "vp8enc deadline=1 cpu-used=-6 lag-in-frames=0 keyframe-max-dist={} target-bitrate={}",
        s.keyframe_interval, bitrate_bps);
}

}  // namespace

std::unique_ptr<EncoderSource> EncoderSource::open(const EncoderSettings& settings,
                                                   std::string& error) {
    gst_init(nullptr, nullptr);
    std::unique_ptr<EncoderSource> source(new EncoderSource(settings));
    gint fps_n = 0;
    gint fps_d = 1;
    gst_util_double_to_fraction(settings.fps, &fps_n, &fps_d);
    const long long buffers = settings.frames ? static_cast<long long>(*settings.frames) : -1;
    const std::string description = fmt::format(
        "videotestsrc num-buffers={} pattern={} horizontal-speed=2 ! "
        "video/x-raw,format=I420,width={},height={},framerate={}/{} ! {} ! "
        "appsink name=sink sync=false max-buffers=8 drop=false",
        buffers, settings.pattern, settings.width, settings.height, fps_n, fps_d,
        encoder_description(settings));

    GError* raw_error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &raw_error);
    std::unique_ptr<GError, ErrorFree> parse_error(raw_error);
    // The pipeline comes with a floating reference; take it over so the owner's unref frees it.
    if (pipeline != nullptr) pipeline = GST_ELEMENT(gst_object_ref_sink(pipeline));
    if (pipeline == nullptr || parse_error) {
        if (pipeline != nullptr) gst_object_unref(pipeline);
        error = fmt::format("cannot build the encoder pipeline: {}",
                            parse_error ? parse_error->message : "unknown error");
        return nullptr;
    }
    source->pipeline_.reset(pipeline);
    source->sink_.reset(gst_bin_get_by_name(GST_BIN(pipeline), "sink"));
    if (!source->sink_) {
        error = "the encoder pipeline has no appsink";
        return nullptr;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        source->report_pipeline_error();
        error = "cannot start the encoder pipeline";
        return nullptr;
    }
    source->frame_.reserve(kFrameReserve);
    return source;
}

EncoderSource::~EncoderSource() {
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

bool EncoderSource::next(SourceFrame& out) {
    auto* appsink = GST_APP_SINK(sink_.get());
    std::unique_ptr<GstSample, SampleUnref> sample(
        gst_app_sink_try_pull_sample(appsink, kPullTimeout));
    if (!sample) {
        if (!gst_app_sink_is_eos(appsink)) report_pipeline_error();
        return false;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstMapInfo map;
    if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        fmt::print(stderr, "norvane-sender: cannot read an encoded frame\n");
        return false;
    }
    frame_.assign(map.data, map.data + map.size);
    gst_buffer_unmap(buffer, &map);
    out.bytes = {frame_.data(), frame_.size()};
    out.keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    return true;
}

void EncoderSource::report_pipeline_error() {
    std::unique_ptr<GstBus, BusUnref> bus(gst_element_get_bus(pipeline_.get()));
    std::unique_ptr<GstMessage, MessageUnref> message(
        gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    if (!message) {
        fmt::print(stderr, "norvane-sender: the encoder produced no frame\n");
        return;
    }
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message.get(), &raw_error, &raw_debug);
    std::unique_ptr<GError, ErrorFree> err(raw_error);
    std::unique_ptr<gchar, CharFree> debug(raw_debug);
    fmt::print(stderr, "norvane-sender: encoder error: {}\n", err ? err->message : "unknown");
}

}  // namespace kelvra::norvane::sender
