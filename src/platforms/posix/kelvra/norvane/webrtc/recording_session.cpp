#include "kelvra/norvane/webrtc/recording_session.hpp"

#include <fcntl.h>
#include <gst/app/gstappsrc.h>
#include <spdlog/spdlog.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "kelvra/norvane/webrtc/detections_message.hpp"
#include "kelvra/norvane/webrtc/recording_retention.hpp"

namespace kelvra {

namespace video = msgs::video;
namespace fs = std::filesystem;

namespace {

// Two segments started within the same millisecond (a format change right after a start) get
// names a millisecond apart, so that names stay unique and in order.
constexpr int kNameAttempts = 1000;

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string errno_text() {
    return std::strerror(errno);
}

}  // namespace

RecordingSession::RecordingSession(Options options, const Clock& clock)
    : options_(std::move(options)), clock_(clock), plan_(options_.segment_us) {}

RecordingSession::~RecordingSession() {
    close_segment(false);
}

void RecordingSession::start(GMainLoop* /*loop*/) {
    arena_ = std::make_unique<messgen::OwnedArena>(kParseArenaSize);
}

void RecordingSession::stop() {
    close_segment(true);
}

void RecordingSession::feed_message(const messgen::MessageInfo& info) {
    // The gateway writes nothing else to a recorder; anything else is ignored.
    if (info.type_id != video::video_frame::TYPE || !arena_) return;
    arena_->reset();
    video::video_frame frame;
    if (frame.parse(info, *arena_) < 0) {
        spdlog::error("Failed to parse video frame");
        return;
    }
    handle_frame(frame);
}

void RecordingSession::handle_frame(const video::video_frame& frame) {
    // An empty frame decodes to nothing and would only leave an empty block in the file.
    if (frame.payload.size == 0) return;
    const int64_t now = clock_.now_us();
    std::string error;
    // Writes happen on the pipeline's own thread: a failure shows up by the next frame.
    if (pipeline_ && pipeline_error(error)) fail(error, now);

    const bool keyframe = frame.keyframe != 0;
    const std::optional<norvane::FrameSize> size =
        keyframe ? norvane::keyframe_size(frame.video_format, frame.payload.ptr, frame.payload.size)
                 : std::nullopt;
    const norvane::SegmentPlan::Step step = plan_.next(now, frame.video_format, keyframe, size);
    if (step.close) close_segment(true);
    if (step.action == norvane::SegmentPlan::Action::kSkip) return;

    if (step.action == norvane::SegmentPlan::Action::kStart) {
        close_segment(true);
        if (!open_segment(frame.video_format, *size, error)) {
            fail(error, now);
            return;
        }
        if (outage_) {
            spdlog::info("Recording resumed for stream {}", options_.stream);
            outage_ = false;
        }
        spdlog::info("Recording stream {} to {}", options_.stream, video_path_);
        norvane::keep_recordings_under(options_.save_dir, options_.keep_bytes);
    } else if (gst_app_src_get_current_level_bytes(GST_APP_SRC(appsrc_)) > kMaxQueuedBytes) {
        // The disk does not keep up: whole frames are left out, up to the next keyframe, so
        // that the file shows a gap instead of frames that do not decode.
        spdlog::warn("Recorder of stream {} falls behind, dropping frames until a keyframe",
                     options_.stream);
        plan_.lost();
        return;
    }
    if (!write_frame(frame, step.pts_ms, error)) fail(error, now);
}

bool RecordingSession::open_segment(uint8_t format, norvane::FrameSize size, std::string& error) {
    std::error_code ec;
    fs::create_directories(options_.directory, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    const int64_t utc = time_utc_us();
    std::string stem;
    for (int attempt = 0; attempt < kNameAttempts && !video_fd_.valid(); ++attempt) {
        stem = norvane::segment_stem(utc + attempt * 1000);
        const std::string path = options_.directory + "/" + stem + ".webm";
        video_fd_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!video_fd_.valid() && errno != EEXIST) {
            error = errno_text();
            return false;
        }
        if (video_fd_.valid()) video_path_ = path;
    }
    if (!video_fd_.valid()) {
        error = "no free segment name";
        return false;
    }
    // Held while the segment is written, so that keeping the recordings under their bound
    // never deletes it.
    flock(video_fd_.get(), LOCK_EX | LOCK_NB);
    const std::string detections_path = options_.directory + "/" + stem + ".jsonl";
    detections_fd_ = UniqueFd(
        ::open(detections_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!detections_fd_.valid()) {
        error = errno_text();
        close_segment(false);
        return false;
    }

    pipeline_.reset(gst_pipeline_new("recorder"));
    appsrc_ = gst_element_factory_make("appsrc", "src");
    GstElement* mux = gst_element_factory_make("webmmux", "mux");
    GstElement* sink = gst_element_factory_make("fdsink", "sink");
    if (!pipeline_ || !appsrc_ || !mux || !sink) {
        for (GstElement* e : {appsrc_, mux, sink}) {
            if (e) gst_object_unref(e);
        }
        appsrc_ = nullptr;
        error = "the elements appsrc, webmmux and fdsink are needed";
        close_segment(false);
        return false;
    }
    gst_bin_add_many(GST_BIN(pipeline_.get()), appsrc_, mux, sink, nullptr);
    norvane::GstCapsPtr caps(gst_caps_new_simple(
        format == 1 ? "video/x-vp8" : "video/x-vp9", "width", G_TYPE_INT,
        static_cast<gint>(size.width), "height", G_TYPE_INT, static_cast<gint>(size.height),
        "framerate", GST_TYPE_FRACTION, 0, 1, nullptr));
    g_object_set(appsrc_, "caps", caps.get(), "format", GST_FORMAT_TIME, "is-live", FALSE,
                 "do-timestamp", FALSE, "stream-type", 0, "block", FALSE, "max-bytes",
                 guint64{2 * kMaxQueuedBytes}, nullptr);
    g_object_set(mux, "streamable", TRUE, nullptr);
    g_object_set(sink, "fd", video_fd_.get(), "sync", FALSE, "async", FALSE, nullptr);
    bus_.reset(gst_element_get_bus(pipeline_.get()));
    if (!gst_element_link_many(appsrc_, mux, sink, nullptr) ||
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        if (!pipeline_error(error)) error = "the recording pipeline does not start";
        close_segment(false);
        return false;
    }
    return true;
}

void RecordingSession::close_segment(bool drain) {
    if (pipeline_) {
        if (drain && appsrc_) {
            gst_app_src_end_of_stream(GST_APP_SRC(appsrc_));
            GstMessage* done = gst_bus_timed_pop_filtered(
                bus_.get(), GST_SECOND / 2,
                static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
            if (done) gst_message_unref(done);
        }
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        pipeline_.reset();
        bus_.reset();
        appsrc_ = nullptr;
    }
    if (video_fd_.valid()) {
        if (drain) {
            fdatasync(video_fd_.get());
            if (detections_fd_.valid()) fdatasync(detections_fd_.get());
        }
        struct stat st {};
        if (fstat(video_fd_.get(), &st) == 0 && st.st_size == 0) {
            // Nothing was written (the disk refused it): no empty file is left behind.
            ::unlink(video_path_.c_str());
            ::unlink(fs::path(video_path_).replace_extension(".jsonl").c_str());
        }
    }
    video_fd_.reset();
    detections_fd_.reset();
    video_path_.clear();
}

bool RecordingSession::write_frame(const video::video_frame& frame, int64_t pts_ms,
                                   std::string& error) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, frame.payload.size, nullptr);
    if (buffer == nullptr) {
        error = "out of memory";
        return false;
    }
    gst_buffer_fill(buffer, 0, frame.payload.ptr, frame.payload.size);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(pts_ms) * GST_MSECOND;
    GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
    if (frame.keyframe == 0) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(appsrc_), buffer);
    if (flow != GST_FLOW_OK) {
        if (!pipeline_error(error)) error = gst_flow_get_name(flow);
        return false;
    }
    // The time in the file in 90 kHz ticks: what a player's media time times 90000 rounds to.
    norvane::write_detections_json(static_cast<uint32_t>(pts_ms * 90), frame.detections, line_);
    line_ += '\n';
    if (!write_all(detections_fd_.get(), line_.data(), line_.size())) {
        error = errno_text();
        return false;
    }
    return true;
}

bool RecordingSession::pipeline_error(std::string& error) {
    if (!bus_) return false;
    GstMessage* message = gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR);
    if (message == nullptr) return false;
    GError* gerror = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &gerror, &debug);
    // A full disk reads as it does for the detections, whichever file found it first.
    if (gerror && g_error_matches(gerror, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NO_SPACE_LEFT)) {
        error = std::strerror(ENOSPC);
    } else {
        error = gerror ? gerror->message : "pipeline error";
    }
    if (gerror) g_error_free(gerror);
    g_free(debug);
    gst_message_unref(message);
    return true;
}

void RecordingSession::fail(const std::string& error, int64_t now) {
    if (!outage_) {
        spdlog::error("Recording stopped for stream {}: {}", options_.stream, error);
    } else {
        spdlog::debug("Recording of stream {} still fails: {}", options_.stream, error);
    }
    outage_ = true;
    close_segment(false);
    plan_.failed(now);
}

}  // namespace kelvra
