// Frame forwarding: released frames to the sessions' pipes, retransmission requests to senders.

#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"

namespace kelvra {

void Norvane::send_new_frames(norvane::Stream& stream) {
    std::vector<norvane::jitter::Frame> frames = stream.sink.jitter_buffer.get_frames_to_show();
    for (const norvane::jitter::Frame& frame : frames) {
        logger_->trace("Send new frame: size={}, seq={}, keyframe={}", frame.size,
                       frame.sequence_number, frame.keyframe);
        logger_->debug("Norvane::send_new_frames got detections {}", frame.detections.size());
        msgs::video::video_frame msg;
        msg.keyframe = frame.keyframe ? 1 : 0;
        msg.video_format = stream.video_format;
        msg.detections = {const_cast<msgs::video::detection_item*>(frame.detections.data()),
                          static_cast<uint32_t>(frame.detections.size())};
        msg.payload = {frame.data.get(), frame.size};
        if (msg.serialize(outgoing_) < 0) {
            logger_->error("Failed to serialize frame_msg, frame_msg payload size: {}", frame.size);
            continue;
        }
        for (norvane::WebrtcSession& session : stream.sessions) {
            norvane::write_buffer_to_pipe(session.to_child_write, outgoing_.data(),
                                          outgoing_.size());
        }
        outgoing_.clear();
    }
}

void Norvane::send_rentransmits(norvane::Sink& sink) {
    const std::vector<msgs::video::video_retransmit_request> requests =
        sink.jitter_buffer.get_retransmit_requests(kRetransmitBudget);
    for (const auto& request : requests) {
        if (request.serialize(outgoing_) < 0) {
            logger_->error("Failed to serialize retransmission request for seq {}, frag {}",
                           request.sequence_number, request.fragment_id);
            continue;
        }
        // Sent with the batch at the end of the pass; a refused one is logged then.
        queue_for_sender(sink.sender_address, {true, request.sequence_number, request.fragment_id});
    }
}

}  // namespace kelvra
