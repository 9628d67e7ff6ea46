#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>

#include "kelvra/core/time.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/webrtc/gst_ref.hpp"
#include "kelvra/norvane/webrtc/gst_session.hpp"
#include "kelvra/norvane/webrtc/recording_plan.hpp"

namespace kelvra {

// What a recorder child does with the frames of its stream: writes them, exactly as received,
// into WebM segments in the flight directory (appsrc ! webmmux ! fdsink), each with its
// detections beside it, one JSON line per frame.
//
// The muxer writes the live layout (no index, no sizes to fill in later), and every block
// reaches the file as it is muxed: a recorder killed, or a machine losing power, mid-segment
// leaves a file that plays up to its last complete frame. A segment that ends normally is
// flushed to the disk before the next one starts.
class RecordingSession final : public GstSession {
public:
    struct Options {
        std::string directory;  // where the segments go: the stream's flight directory
        std::string save_dir;   // the tree the retention bound covers
        std::string stream;     // the stream's name in log lines
        int64_t segment_us = 300'000'000;
        uint64_t keep_bytes = 0;  // 0: no bound
    };

    // Muxed bytes not yet written (a slow disk) past which frames are dropped until a keyframe.
    static constexpr uint64_t kMaxQueuedBytes = 32ull << 20;
    static constexpr size_t kParseArenaSize = 10'485'760;

    explicit RecordingSession(Options options, const Clock& clock = monotonic_clock());
    ~RecordingSession() override;
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    void start(GMainLoop* loop) override;
    void stop() override;
    void feed_message(const messgen::MessageInfo& info) override;

    void handle_frame(const msgs::video::video_frame& frame);
    // Path of the segment being written, empty when none.
    const std::string& segment_path() const { return video_path_; }

private:
    bool open_segment(uint8_t format, norvane::FrameSize size, std::string& error);
    // Ends the segment; `drain` lets the muxer finish it and flushes it to the disk.
    void close_segment(bool drain);
    bool write_frame(const msgs::video::video_frame& frame, int64_t pts_ms, std::string& error);
    bool pipeline_error(std::string& error);
    void fail(const std::string& error, int64_t now);

    Options options_;
    const Clock& clock_;
    norvane::SegmentPlan plan_;
    std::unique_ptr<messgen::OwnedArena> arena_;
    norvane::GstObjectPtr<GstElement> pipeline_;
    norvane::GstObjectPtr<GstBus> bus_;
    GstElement* appsrc_ = nullptr;  // owned by the pipeline
    UniqueFd video_fd_;
    UniqueFd detections_fd_;
    std::string video_path_;
    std::string line_;     // one frame's detections, reused
    bool outage_ = false;  // recording stopped by a failure, not yet resumed
};

}  // namespace kelvra
