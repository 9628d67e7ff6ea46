// Dispatch of signalling messages and the relay of negotiation traffic between the signalling
// server and the session children.

#include <spdlog/spdlog.h>
#include <unistd.h>

#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"

namespace kelvra {

namespace video = msgs::video;

namespace {

// Parses `info` into a message with the gateway's arena; logs `failure` when it does not parse.
template <typename Message>
bool parse_or_log(Message& msg, const messgen::MessageInfo& info, messgen::Arena& arena,
                  spdlog::logger& log, const char* failure) {
    arena.reset();
    if (msg.parse(info, arena) < 0) {
        log.error(failure);
        return false;
    }
    return true;
}

}  // namespace

void Norvane::on_signalling_message(const messgen::MessageInfo& info) {
    switch (info.type_id) {
        case video::set_stream::TYPE: {
            video::set_stream msg;
            if (parse_or_log(msg, info, arena_, *logger_, "Failed to parse set stream message!"))
                handle_set_stream_message(msg);
            break;
        }
        case video::session_request::TYPE: {
            video::session_request msg;
            if (parse_or_log(msg, info, arena_, *logger_, "Failed to parse session request!"))
                handle_session_request_message(msg);
            break;
        }
        case video::terminate_session::TYPE: {
            video::terminate_session msg;
            if (parse_or_log(msg, info, arena_, *logger_,
                             "Failed to parse session terminate request!"))
                handle_session_terminate_message(msg);
            break;
        }
        case video::session_msg::TYPE: {
            video::session_msg msg;
            if (parse_or_log(msg, info, arena_, *logger_, "Failed to parse session_msg message!"))
                handle_session_message(msg);
            break;
        }
        default:
            logger_->warn("Got unexpected message type: {}", unsigned{info.type_id});
            break;
    }
    outgoing_.clear();
}

void Norvane::handle_session_message(const video::session_msg& msg) {
    logger_->debug("Got session message for manet {:x} with consumer id {} and camera type {}",
                   msg.manet_addr, msg.consumer_id, unsigned{msg.camera_type});
    const auto it = streams_.find(norvane::stream_key(msg.manet_addr, msg.camera_type));
    if (it == streams_.end()) {
        logger_->error("Can not find stream for manet address {:x}", msg.manet_addr);
        return;
    }
    for (auto& session : it->second.sessions) {
        if (session.consumer_id != msg.consumer_id) continue;
        norvane::write_buffer_to_pipe(session.to_child_write, msg.peer_msg.ptr, msg.peer_msg.size);
        return;
    }
    logger_->warn("Failed to find webrtc_sessions with consumer id {}", msg.consumer_id);
}

void Norvane::read_session_pipe(const norvane::SessionPollContext& context) {
    auto& sessions = context.stream->second.sessions;
    if (context.session_index >= sessions.size()) return;
    norvane::WebrtcSession& session = sessions[context.session_index];
    std::vector<uint8_t>& buffer = session.buffer;
    const size_t held = buffer.size();
    const size_t room = buffer.capacity() - held;
    if (room > 0) {
        buffer.resize(held + room);
        const ssize_t got = ::read(session.from_child_read.get(), buffer.data() + held, room);
        buffer.resize(held + (got > 0 ? static_cast<size_t>(got) : 0));
    }
    const size_t skipped = norvane::take_child_frames(
        buffer, session.discard,
        [this](const uint8_t* frames, size_t size) { signalling_client_->send(frames, size); });
    if (skipped > 0) {
        logger_->error("Session {} wrote a frame of {} bytes, more than {}: dropped", session.pid,
                       skipped, buffer.capacity());
    }
}

}  // namespace kelvra
