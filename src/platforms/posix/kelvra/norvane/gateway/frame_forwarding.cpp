#include "kelvra/norvane/gateway/frame_forwarding.hpp"

#include <spdlog/logger.h>

#include "kelvra/norvane/gateway/session_pipe.hpp"

namespace kelvra::norvane {

namespace {

// Whether `frame` goes to the stream's viewers, given the format in force.
bool admit_format(Stream& stream, const jitter::Frame& frame, spdlog::logger& log) {
    const uint8_t previous = stream.format_gate.format();
    switch (stream.format_gate.admit(frame.video_format, frame.keyframe)) {
        case FormatGate::Verdict::kForward:
            return true;
        case FormatGate::Verdict::kSwitch:
            if (previous != 0) {
                log.info("Video format of stream {:x} camera {} changes from {} to {}",
                         stream.manet_addr, unsigned{stream.camera_type}, unsigned{previous},
                         unsigned{frame.video_format});
            }
            // Frames of the old format do not decode in the viewers' new pipelines.
            stream.catchup.reset();
            return true;
        case FormatGate::Verdict::kDrop:
            log.warn(
                "Dropping frames of video format {} on stream {:x} camera {} until a keyframe "
                "of that format",
                unsigned{frame.video_format}, stream.manet_addr, unsigned{stream.camera_type});
            return false;
        case FormatGate::Verdict::kDropAgain:
            return false;
    }
    return false;
}

bool serialize_frame(const jitter::Frame& frame, uint8_t format, std::vector<uint8_t>& outgoing) {
    msgs::video::video_frame msg;
    msg.keyframe = frame.keyframe ? 1 : 0;
    msg.video_format = format;
    msg.detections = {const_cast<msgs::video::detection_item*>(frame.detections.data()),
                      static_cast<uint32_t>(frame.detections.size())};
    msg.payload = {frame.data.get(), frame.size};
    return msg.serialize(outgoing) >= 0;
}

}  // namespace

void forward_frames(Stream& stream, std::vector<jitter::Frame>& frames,
                    std::vector<uint8_t>& outgoing, spdlog::logger& log) {
    for (jitter::Frame& frame : frames) {
        log.trace("Send new frame: size={}, seq={}, keyframe={}", frame.size, frame.sequence_number,
                  frame.keyframe);
        log.debug("Norvane::send_new_frames got detections {}", frame.detections.size());
        if (!admit_format(stream, frame, log)) continue;
        if (!serialize_frame(frame, stream.format_gate.format(), outgoing)) {
            log.error("Failed to serialize frame_msg, frame_msg payload size: {}", frame.size);
            // The run since the keyframe has a hole now: a new viewer could not decode it.
            stream.catchup.reset();
            continue;
        }
        for (WebrtcSession& session : stream.sessions) {
            write_buffer_to_pipe(session.to_child_write, outgoing.data(), outgoing.size());
        }
        feed_recorder(stream.recorder, outgoing.data(), outgoing.size(), frame.keyframe);
        outgoing.clear();
        stream.catchup.add(std::move(frame));
    }
}

void send_catchup(const Stream& stream, WebrtcSession& session, std::vector<uint8_t>& outgoing) {
    for (const jitter::Frame& frame : stream.catchup.frames()) {
        if (serialize_frame(frame, stream.format_gate.format(), outgoing)) {
            write_buffer_to_pipe(session.to_child_write, outgoing.data(), outgoing.size());
        }
        outgoing.clear();
    }
}

}  // namespace kelvra::norvane
