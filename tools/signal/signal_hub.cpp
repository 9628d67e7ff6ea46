#include "signal/signal_hub.hpp"

#include <spdlog/spdlog.h>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"

namespace kelvra::norvane::signal_server {

using nlohmann::json;
namespace video = msgs::video;

SignalHub::SignalHub(const ServerConfig& config, GatewaySink& gateways, ViewerSink& viewers)
    : gateways_(gateways), viewers_sink_(viewers), limits_(config.limits) {
    for (const auto& gateway : config.gateways) gateway_connected_[gateway.name] = false;
    for (const auto& stream : config.streams) catalogue_.add(stream);
    if (config.ice_servers.empty()) return;
    nlohmann::json servers = nlohmann::json::array();
    for (const IceServer& server : config.ice_servers) {
        nlohmann::json entry{{"urls", server.urls}};
        if (!server.username.empty()) entry["username"] = server.username;
        if (!server.credential.empty()) entry["credential"] = server.credential;
        servers.push_back(std::move(entry));
    }
    ice_servers_message_ = {{"type", "ice_servers"}, {"ice_servers", std::move(servers)}};
}

bool SignalHub::gateway_is_connected(const std::string& gateway) const {
    const auto it = gateway_connected_.find(gateway);
    return it != gateway_connected_.end() && it->second;
}

void SignalHub::send_to_gateway(const std::string& gateway, const Bytes& frame) {
    if (!gateways_.send_frame(gateway, frame)) {
        spdlog::warn("Frame {} to gateway {} was not sent", frame.empty() ? 0 : frame[0], gateway);
    }
}

void SignalHub::announce(const StreamConfig& stream, bool enabled) {
    video::set_stream message;
    message.manet_addr = stream.id.manet_addr;
    message.enabled = enabled ? 1 : 0;
    message.camera_type = stream.id.camera;
    std::copy(stream.key.begin(), stream.key.end(), message.key);
    send_to_gateway(stream.id.gateway, frame_of(message));
    spdlog::info("{} stream {}", enabled ? "Announced" : "Withdrew", stream.id.text());
}

void SignalHub::audit_session(const char* event, const Session& session, std::string_view reason) {
    const auto viewer = viewers_.find(session.viewer);
    const bool known = viewer != viewers_.end();
    spdlog::info("audit: {} stream={} consumer={} viewer={} user={} from={}{}{}", event,
                 session.stream.text(), session.consumer, session.viewer,
                 known ? viewer->second.user : "gone", known ? viewer->second.from : "gone",
                 reason.empty() ? "" : " reason=", reason);
}

void SignalHub::terminate(const Session& session, std::string_view reason) {
    const uint32_t consumer = session.consumer;  // `session` may be the entry erased below
    if (session.opened) audit_session("session_close", session, reason);
    video::terminate_session message;
    message.consumer_id = session.consumer;
    message.camera_type = session.stream.camera;
    if (gateway_is_connected(session.stream.gateway)) {
        send_to_gateway(session.stream.gateway, frame_of(message));
    }
    spdlog::info("Session {} of stream {} ends", consumer, session.stream.text());
    sessions_.erase(consumer);
}

// --- Gateways ---

void SignalHub::gateway_connected(const std::string& gateway) {
    const auto it = gateway_connected_.find(gateway);
    if (it == gateway_connected_.end()) return;
    it->second = true;
    // A gateway keeps no streams across connections: every one must be announced again before
    // any session is asked of it.
    for (const StreamEntry* entry : catalogue_.of_gateway(gateway)) announce(entry->config, true);
    list_changed_ = true;
}

void SignalHub::gateway_disconnected(const std::string& gateway) {
    const auto it = gateway_connected_.find(gateway);
    if (it == gateway_connected_.end() || !it->second) return;
    it->second = false;
    // The gateway's children went with the connection; their viewers must start again later.
    for (const Session& session : sessions_.of_gateway(gateway)) {
        if (session.opened) audit_session("session_close", session, "gateway_disconnected");
        send(session.viewer, {{"type", "closed"},
                              {"stream", session.stream.text()},
                              {"reason", "gateway disconnected"}});
        sessions_.erase(session.consumer);
    }
    catalogue_.reset_gateway(gateway);
    list_changed_ = true;
}

void SignalHub::gateway_frame(const std::string& gateway, const messgen::MessageInfo& frame) {
    arena_.reset();
    switch (frame.type_id) {
        case video::stream_state::TYPE:
            on_stream_state(gateway, frame);
            break;
        case video::session_response::TYPE:
            on_session_response(gateway, frame);
            break;
        case video::session_msg::TYPE:
            on_session_msg(gateway, frame);
            break;
        default:
            spdlog::debug("Gateway {} sent frame type {} ({} bytes), ignored", gateway,
                          frame.type_id, frame.size);
    }
}

void SignalHub::on_stream_state(const std::string& gateway, const messgen::MessageInfo& frame) {
    video::stream_state state;
    if (state.parse(frame, arena_) < 0) {
        spdlog::warn("Gateway {} sent a malformed stream state", gateway);
        return;
    }
    const StreamId id{gateway, state.manet_addr, state.camera_type};
    if (catalogue_.update(id, StreamFigures::from(state))) list_changed_ = true;
}

void SignalHub::on_session_response(const std::string& gateway, const messgen::MessageInfo& frame) {
    video::session_response response;
    if (response.parse(frame, arena_) < 0) {
        spdlog::warn("Gateway {} sent a malformed session response", gateway);
        return;
    }
    Session* session = sessions_.find(response.consumer_id);
    if (session == nullptr || session->stream.gateway != gateway || session->opened) {
        // The viewer left before the answer came: its terminate_session is already on its way.
        spdlog::debug("Session response for unknown consumer {} from {}", response.consumer_id,
                      gateway);
        return;
    }
    const std::string stream = session->stream.text();
    const std::string status = response.status != nullptr ? response.status : "";
    if (response.result == 0) {
        session->opened = true;
        spdlog::info("Session {} of stream {} opened", session->consumer, stream);
        audit_session("session_open", *session);
        send(session->viewer,
             {{"type", "opened"}, {"stream", stream}, {"consumer", session->consumer}});
        return;
    }
    spdlog::info("Session {} of stream {} refused: {}", session->consumer, stream, status);
    const ViewerId viewer = session->viewer;
    sessions_.erase(response.consumer_id);
    send(viewer, {{"type", "refused"}, {"stream", stream}, {"status", status}});
}

void SignalHub::on_session_msg(const std::string& gateway, const messgen::MessageInfo& frame) {
    video::session_msg message;
    if (message.parse(frame, arena_) < 0) {
        spdlog::warn("Gateway {} sent a malformed session message", gateway);
        return;
    }
    const Session* session = sessions_.find(message.consumer_id);
    if (session == nullptr || session->stream.gateway != gateway) {
        spdlog::debug("Session message for unknown consumer {} from {}", message.consumer_id,
                      gateway);
        return;
    }
    // The peer message is exactly one frame.
    const auto inner = messgen::front_frame(message.peer_msg.ptr, message.peer_msg.size);
    if (!inner || messgen::kFrameHeaderSize + inner->size != message.peer_msg.size) {
        spdlog::warn("Gateway {} sent a session message that is not one frame", gateway);
        return;
    }
    const std::string stream = session->stream.text();
    if (inner->type_id == video::sdp_message::TYPE) {
        video::sdp_message sdp;
        if (sdp.parse(*inner, arena_) < 0 || std::string_view(sdp.type) != "offer") {
            spdlog::warn("Gateway {} sent an SDP that is no offer for consumer {}", gateway,
                         session->consumer);
            return;
        }
        send(session->viewer, {{"type", "offer"}, {"stream", stream}, {"sdp", sdp.sdp}});
    } else if (inner->type_id == video::ice_message::TYPE) {
        video::ice_message ice;
        if (ice.parse(*inner, arena_) < 0) {
            spdlog::warn("Gateway {} sent a malformed candidate", gateway);
            return;
        }
        send(session->viewer, {{"type", "candidate"},
                               {"stream", stream},
                               {"mline", ice.m_line_idx},
                               {"candidate", ice.candidate}});
    } else {
        spdlog::warn("Gateway {} sent a peer message of type {}", gateway, inner->type_id);
    }
}

}  // namespace kelvra::norvane::signal_server
