// Frame forwarding: released frames to the sessions' pipes, retransmission requests to senders.

#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include "kelvra/norvane/gateway/frame_forwarding.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"

namespace kelvra {

void Norvane::send_new_frames(norvane::Stream& stream) {
    std::vector<norvane::jitter::Frame> frames = stream.sink.jitter_buffer.get_frames_to_show();
    if (!frames.empty() && recording_.enabled) update_recorder(stream, clock_.now_us());
    norvane::forward_frames(stream, frames, outgoing_, *logger_);
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
