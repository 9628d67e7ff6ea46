#include "support/session_relay.hpp"

#include <stdexcept>

#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::testing {

namespace video = msgs::video;

void SessionRelay::attach(uint32_t consumer_id, WebrtcViewer& viewer) {
    routes_[consumer_id] = &viewer;
    counts_.try_emplace(consumer_id);
}

bool SessionRelay::run_until(const std::function<bool()>& done, Timeout timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        while (auto payload = peer_.wait_for_frame(video::session_msg::TYPE, Timeout(0))) {
            deliver_to_viewer(*payload);
        }
        for (auto& [consumer_id, viewer] : routes_) {
            for (const auto& [mline, candidate] : viewer->take_local_candidates()) {
                peer_.send_session_msg(manet_addr_, consumer_id, camera_type_,
                                       SignallingPeer::ice_frame(mline, candidate));
            }
        }
        peer_.poll_input(Timeout(20));
    }
    return true;
}

void SessionRelay::deliver_to_viewer(const Bytes& payload) {
    arena_.reset();
    video::session_msg wrapped;
    if (wrapped.parse(
            {video::session_msg::TYPE, static_cast<uint32_t>(payload.size()), payload.data()},
            arena_) < 0 ||
        wrapped.peer_msg.size < messgen::kFrameHeaderSize) {
        throw std::runtime_error("malformed session_msg from the gateway");
    }
    if (wrapped.manet_addr != manet_addr_ || wrapped.camera_type != camera_type_) {
        throw std::runtime_error("session_msg names another stream");
    }
    Counts& counts = counts_[wrapped.consumer_id];
    const messgen::MessageInfo inner{wrapped.peer_msg.ptr[0],
                                     messgen::load_le<uint32_t>(wrapped.peer_msg.ptr + 1),
                                     wrapped.peer_msg.ptr + messgen::kFrameHeaderSize};
    const auto route = routes_.find(wrapped.consumer_id);
    WebrtcViewer* viewer = route == routes_.end() ? nullptr : route->second;

    if (inner.type_id == video::sdp_message::TYPE) {
        video::sdp_message offer;
        if (offer.parse(inner, arena_) < 0 || std::string(offer.type) != "offer") {
            throw std::runtime_error("session child sent an SDP message that is not an offer");
        }
        ++counts.offers;
        counts.last_offer_at = std::chrono::steady_clock::now();
        if (viewer == nullptr) return;
        viewer->apply_offer(offer.sdp);
        const auto answer = viewer->wait_for_answer();
        if (!answer) throw std::runtime_error("viewer made no answer: " + viewer->describe());
        peer_.send_session_msg(manet_addr_, wrapped.consumer_id, camera_type_,
                               SignallingPeer::sdp_frame(*answer, "answer"));
    } else if (inner.type_id == video::ice_message::TYPE) {
        video::ice_message candidate;
        if (candidate.parse(inner, arena_) < 0) {
            throw std::runtime_error("session child sent a malformed ICE message");
        }
        ++counts.candidates;
        if (viewer != nullptr)
            viewer->add_remote_candidate(candidate.m_line_idx, candidate.candidate);
    } else {
        throw std::runtime_error("session child sent message " + std::to_string(inner.type_id));
    }
}

}  // namespace kelvra::testing
