// The hub's side of the viewers: their JSON messages in, sessions and messages out.

#include <spdlog/spdlog.h>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"
#include "signal/signal_hub.hpp"

namespace kelvra::norvane::signal_server {

using nlohmann::json;
namespace video = msgs::video;

void SignalHub::send(ViewerId viewer, const json& message) {
    if (viewers_.contains(viewer)) viewers_sink_.send_text(viewer, to_text(message));
}

void SignalHub::send_error(ViewerId viewer, std::string_view message) {
    send(viewer, {{"type", "error"}, {"message", message}});
}

void SignalHub::viewer_joined(ViewerId viewer, std::string from, std::string user) {
    if (!viewers_.emplace(viewer, ViewerPeer{std::move(from), std::move(user)}).second) return;
    // Before anything else, so that the page has them by the time an offer comes.
    if (!ice_servers_message_.is_null()) send(viewer, ice_servers_message_);
    send_stream_list(viewer);
}

void SignalHub::viewer_left(ViewerId viewer) {
    if (!viewers_.contains(viewer)) return;
    for (const Session& session : sessions_.of_viewer(viewer)) terminate(session, "viewer_left");
    viewers_.erase(viewer);
}

void SignalHub::viewer_text(ViewerId viewer, std::string_view text) {
    if (!viewers_.contains(viewer)) return;
    const json message = json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        send_error(viewer, "message is not a JSON object");
        return;
    }
    const std::string* type = string_field(message, "type");
    const std::string* stream_text = string_field(message, "stream");
    if (type == nullptr) {
        send_error(viewer, "message has no type");
        return;
    }
    if (stream_text == nullptr) {
        send_error(viewer, "message has no stream");
        return;
    }
    if (*type == "open") {
        on_open(viewer, message);
        return;
    }
    if (*type != "answer" && *type != "candidate" && *type != "close") {
        send_error(viewer, "unknown message type '" + *type + "'");
        return;
    }
    const auto id = parse_stream_id(*stream_text);
    const Session* session = id ? sessions_.find(viewer, *id) : nullptr;
    if (session == nullptr) {
        send_error(viewer, "no session of stream '" + *stream_text + "' on this connection");
        return;
    }
    if (*type == "close") {
        terminate(*session, "viewer_closed");
    } else if (*type == "answer") {
        on_answer(viewer, *session, message);
    } else {
        on_candidate(viewer, *session, message);
    }
}

void SignalHub::on_open(ViewerId viewer, const json& message) {
    const std::string& stream_text = *string_field(message, "stream");
    const auto id = parse_stream_id(stream_text);
    const StreamEntry* entry = id ? catalogue_.find(*id) : nullptr;
    // Said plainly, so that the account's holder asks for a grant rather than waits.
    if (entry != nullptr && access_ && !access_(viewer, *id)) {
        send(viewer, {{"type", "refused"}, {"stream", stream_text}, {"status", "Not allowed"}});
        return;
    }
    if (entry == nullptr) {
        send(viewer, {{"type", "refused"}, {"stream", stream_text}, {"status", "No stream found"}});
        return;
    }
    if (!gateway_is_connected(id->gateway)) {
        send(viewer,
             {{"type", "refused"}, {"stream", stream_text}, {"status", "Gateway disconnected"}});
        return;
    }
    if (sessions_.find(viewer, *id) != nullptr) {
        send_error(viewer, "stream '" + stream_text + "' is already open on this connection");
        return;
    }
    if (const char* limit = session_limit_reached(viewer, *id)) {
        const std::string status = std::string("limit reached: ") + limit;
        spdlog::warn("Viewer {} from {}: {}", viewer, viewers_.at(viewer).from, status);
        send(viewer, {{"type", "refused"}, {"stream", stream_text}, {"status", status}});
        return;
    }
    ++opens_this_second_[viewers_.at(viewer).user];
    const Session& session = sessions_.create(viewer, *id);
    video::session_request request;
    request.manet_addr = id->manet_addr;
    request.consumer_id = session.consumer;
    request.camera_type = id->camera;
    spdlog::info("Session {} of stream {} requested", session.consumer, id->text());
    send_to_gateway(id->gateway, frame_of(request));
}

const char* SignalHub::session_limit_reached(ViewerId viewer, const StreamId& stream) const {
    // An account may hold many connections; without its own bound it could take every session.
    const std::string& user = viewers_.at(viewer).user;
    size_t of_viewer = 0;
    size_t of_account = 0;
    size_t of_stream = 0;
    for (const auto& [consumer, session] : sessions_.all()) {
        of_viewer += session.viewer == viewer ? 1 : 0;
        const auto holder = viewers_.find(session.viewer);
        of_account += holder != viewers_.end() && holder->second.user == user ? 1 : 0;
        of_stream += session.stream == stream ? 1 : 0;
    }
    if (of_viewer >= limits_.sessions_per_connection) return "sessions per connection";
    if (of_account >= limits_.sessions_per_account) return "sessions per account";
    if (const auto opened = opens_this_second_.find(user);
        opened != opens_this_second_.end() && opened->second >= limits_.session_opens_per_second) {
        return "session opens per second";
    }
    if (of_stream >= limits_.sessions_per_stream) return "sessions per stream";
    if (sessions_.all().size() >= limits_.sessions_total) return "sessions in all";
    return nullptr;
}

void SignalHub::on_answer(ViewerId viewer, const Session& session, const json& message) {
    const std::string* sdp = string_field(message, "sdp");
    if (sdp == nullptr || sdp->empty()) {
        send_error(viewer, "answer has no sdp");
        return;
    }
    if (!session.opened) {
        send_error(viewer, "session of stream '" + session.stream.text() + "' is not open yet");
        return;
    }
    video::sdp_message answer;
    answer.sdp = sdp->c_str();
    answer.type = "answer";
    send_peer_msg(viewer, session, frame_of(answer));
}

void SignalHub::on_candidate(ViewerId viewer, const Session& session, const json& message) {
    const std::string* candidate = string_field(message, "candidate");
    const auto mline = message.find("mline");
    if (candidate == nullptr || mline == message.end() || !mline->is_number_unsigned() ||
        mline->get<uint64_t>() > UINT32_MAX) {
        send_error(viewer, "candidate needs a string candidate and an unsigned mline");
        return;
    }
    if (!session.opened) {
        send_error(viewer, "session of stream '" + session.stream.text() + "' is not open yet");
        return;
    }
    // Browsers mark the end of their candidates with an empty one; the child needs no such mark.
    if (candidate->empty()) return;
    video::ice_message ice;
    ice.m_line_idx = mline->get<uint32_t>();
    ice.candidate = candidate->c_str();
    send_peer_msg(viewer, session, frame_of(ice));
}

void SignalHub::send_peer_msg(ViewerId viewer, const Session& session, const Bytes& peer_msg) {
    video::session_msg message;
    message.manet_addr = session.stream.manet_addr;
    message.consumer_id = session.consumer;
    message.camera_type = session.stream.camera;
    message.peer_msg = {const_cast<uint8_t*>(peer_msg.data()),
                        static_cast<uint32_t>(peer_msg.size())};
    if (message.frame_size() > kMaxGatewayFrame) {
        send_error(viewer, "message too large for the gateway");
        return;
    }
    send_to_gateway(session.stream.gateway, frame_of(message));
}

}  // namespace kelvra::norvane::signal_server
