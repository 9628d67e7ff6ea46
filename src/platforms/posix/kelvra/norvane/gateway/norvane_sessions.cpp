// Session brokering: viewer sessions are created on the signalling server's request, each in a
// forked child connected by two pipes, and ended on request, with their stream, or by
// themselves.

#include <spdlog/spdlog.h>

#include "kelvra/norvane/gateway/frame_forwarding.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"
#include "kelvra/norvane/webrtc/session_process.hpp"
#include "kelvra/norvane/webrtc/webrtc_gst_session.hpp"

namespace kelvra {

namespace video = msgs::video;

namespace {

constexpr const char* kSessionProcessName = "WebRTCSession";

void refuse(video::session_response& response, const char* status) {
    response.result = -1;
    response.status = status;
}

}  // namespace

void Norvane::handle_session_request_message(const video::session_request& req) {
    video::session_response response;
    response.manet_addr = req.manet_addr;
    response.consumer_id = req.consumer_id;
    response.camera_type = req.camera_type;
    response.result = 0;
    response.status = "OK";
    logger_->info("Got session request for manet {:x} with consumer id {} and camera type {}",
                  req.manet_addr, req.consumer_id, unsigned{req.camera_type});

    const auto it = streams_.find(norvane::stream_key(req.manet_addr, req.camera_type));
    if (it == streams_.end()) {
        logger_->error("Can not find stream for manet address {:x}", req.manet_addr);
        refuse(response, "No stream found");
    } else if (has_session(it->second, req.consumer_id)) {
        logger_->error("SessionProcess already exists!");
        refuse(response, "WebrtcSession exists");
    } else if (!spawn_session(it->second, req)) {
        refuse(response, "Internal error");
    } else {
        logger_->info("Created session for manet {:x}, consumer {}", req.manet_addr,
                      req.consumer_id);
    }
    send_signalling_message(response);
}

bool Norvane::has_session(const norvane::Stream& stream, uint64_t consumer_id) {
    for (const auto& session : stream.sessions) {
        if (session.consumer_id == consumer_id) return true;
    }
    return false;
}

bool Norvane::spawn_session(norvane::Stream& stream, const video::session_request& req) {
    // Pipes made here close by themselves on every path that does not record the session.
    norvane::DataPipe to_child = norvane::create_data_pipe();
    if (!to_child.ok) {
        logger_->error("Failed to create data pipes");
        return false;
    }
    norvane::DataPipe from_child = norvane::create_data_pipe();
    if (!from_child.ok) {
        logger_->error("Failed to create data pipes");
        return false;
    }

    auto media = std::make_unique<WebRTCGstSession>(req.manet_addr, req.consumer_id, turn_url_,
                                                    stun_url_, from_child.write_end.get(),
                                                    req.camera_type, ice_local_addresses_);
    auto process = std::make_unique<SessionProcess>(to_child.read_end.get(), std::move(media),
                                                    log_level_, kSessionProcessName);
    process->keep_open(
        {to_child.write_end.get(), from_child.read_end.get(), from_child.write_end.get()});
    const int pid = runtime_manager_->spawn_session_process(std::move(process));
    if (pid < 0) {
        logger_->error("Failed to spawn session process for address {:x} and consumer {}",
                       req.manet_addr, req.consumer_id);
        return false;
    }

    norvane::WebrtcSession session;
    session.consumer_id = req.consumer_id;
    session.pid = pid;
    session.buffer.reserve(norvane::WebrtcSession::kReadBufferSize);
    session.to_child_read = std::move(to_child.read_end);
    session.to_child_write = norvane::SessionPipeWriter(std::move(to_child.write_end));
    session.from_child_read = std::move(from_child.read_end);
    session.from_child_write = std::move(from_child.write_end);
    norvane::send_catchup(stream, session, outgoing_);
    stream.sessions.push_back(std::move(session));
    sessions_changed_ = true;
    return true;
}

void Norvane::handle_session_terminate_message(const video::terminate_session& msg) {
    logger_->info("Got terminate session request for consumer id {}", msg.consumer_id);
    for (auto& [key, stream] : streams_) {
        if (stream.camera_type != msg.camera_type) continue;
        auto& sessions = stream.sessions;
        for (auto s = sessions.begin(); s != sessions.end(); ++s) {
            if (s->consumer_id != msg.consumer_id) continue;
            terminate_webrtc_session(*s);
            sessions.erase(s);
            sessions_changed_ = true;
            return;
        }
    }
    logger_->error("SessionProcess for consumer {} does not exists!", msg.consumer_id);
}

void Norvane::terminate_webrtc_session(norvane::WebrtcSession& session) {
    spdlog::info("Terminating webrtc session {}", session.pid);
    if (!runtime_manager_->terminate_session(session.pid)) {
        spdlog::error("Failed to set terminate session request foe webrtc session with pid {}",
                      session.pid);
    }
    cleanup_webrtc_session(session);
}

void Norvane::cleanup_webrtc_session(norvane::WebrtcSession& session) {
    session.from_child_read.reset();
    session.from_child_write.reset();
    session.to_child_read.reset();
    session.to_child_write.reset();
}

void Norvane::on_process_finished(int pid) {
    if (recorder_finished(pid)) return;
    for (auto& [key, stream] : streams_) {
        auto& sessions = stream.sessions;
        for (auto s = sessions.begin(); s != sessions.end(); ++s) {
            if (s->pid != pid) continue;
            logger_->error("Session {} terminated itself!", pid);
            cleanup_webrtc_session(*s);
            sessions.erase(s);
            sessions_changed_ = true;
            break;
        }
    }
}

}  // namespace kelvra
