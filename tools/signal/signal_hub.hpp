#pragma once

// What the server does, without sockets: it turns frames from gateways and JSON messages from
// viewers into frames for gateways and JSON messages for viewers. The transports call in and are
// called back through the two sinks.

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "kelvra/msgs/video/messgen.hpp"
#include "signal/gateway_codec.hpp"
#include "signal/server_config.hpp"
#include "signal/session_table.hpp"
#include "signal/stream_catalogue.hpp"

namespace kelvra::norvane::signal_server {

class GatewaySink {
public:
    // One frame to the named gateway; false when it is not connected or the frame was refused.
    virtual bool send_frame(const std::string& gateway, const Bytes& frame) = 0;

protected:
    ~GatewaySink() = default;
};

class ViewerSink {
public:
    virtual void send_text(ViewerId viewer, const std::string& text) = 0;

protected:
    ~ViewerSink() = default;
};

// Outcome of an HTTP API request: status code and JSON body.
struct ApiResult {
    unsigned status = 200;
    nlohmann::json body;
};

class SignalHub {
public:
    // The largest frame a gateway can take in one record.
    static constexpr size_t kMaxGatewayFrame = RecordSealer::kMaxFramesSize;

    SignalHub(const ServerConfig& config, GatewaySink& gateways, ViewerSink& viewers);
    SignalHub(const SignalHub&) = delete;
    SignalHub& operator=(const SignalHub&) = delete;

    // --- Gateways ---
    void gateway_connected(const std::string& gateway);
    void gateway_disconnected(const std::string& gateway);
    void gateway_frame(const std::string& gateway, const messgen::MessageInfo& frame);

    // --- Viewers ---
    // A new viewer, named by the transport with an id it has not used before; `from` is its
    // address, for the log.
    // `from` is the viewer's address and `user` the account it logged in with, for the log.
    void viewer_joined(ViewerId viewer, std::string from = "unknown", std::string user = "-");
    void viewer_text(ViewerId viewer, std::string_view text);
    void viewer_left(ViewerId viewer);

    // --- HTTP API; `from` is the client's address, for the log ---
    ApiResult add_stream(std::string_view body, std::string_view from = "unknown");
    ApiResult remove_stream(std::string_view gateway, std::string_view manet_addr,
                            std::string_view camera, std::string_view from = "unknown");
    // The streams `visible` lets through; all when it is empty.
    nlohmann::json streams_json(const std::function<bool(const StreamId&)>& visible = {}) const;
    std::string metrics() const;

    // Which streams a viewer may see and open: set by the accounts; all while unset.
    using StreamAccess = std::function<bool(ViewerId, const StreamId&)>;
    void set_access(StreamAccess access) { access_ = std::move(access); }

    // Called about once a second: sends the stream list to every viewer if it changed.
    void tick();

    bool gateway_is_connected(const std::string& gateway) const;
    bool knows_stream(const StreamId& id) const { return catalogue_.find(id) != nullptr; }
    size_t viewer_count() const { return viewers_.size(); }
    const SessionTable& sessions() const { return sessions_; }

private:
    void announce(const StreamConfig& stream, bool enabled);
    void send_to_gateway(const std::string& gateway, const Bytes& frame);
    void send(ViewerId viewer, const nlohmann::json& message);
    void send_error(ViewerId viewer, std::string_view message);
    void send_stream_list(ViewerId viewer);
    nlohmann::json stream_json(const StreamEntry& entry) const;
    // Ends a session on the gateway and forgets it.
    void terminate(const Session& session, std::string_view reason);
    // The one log line per session that opened and ended, in a form made for grep.
    void audit_session(const char* event, const Session& session, std::string_view reason = {});
    // The bound `open` would pass for this viewer and stream, if any.
    const char* session_limit_reached(ViewerId viewer, const StreamId& stream) const;

    void on_stream_state(const std::string& gateway, const messgen::MessageInfo& frame);
    void on_session_response(const std::string& gateway, const messgen::MessageInfo& frame);
    void on_session_msg(const std::string& gateway, const messgen::MessageInfo& frame);

    void on_open(ViewerId viewer, const nlohmann::json& message);
    void on_answer(ViewerId viewer, const Session& session, const nlohmann::json& message);
    void on_candidate(ViewerId viewer, const Session& session, const nlohmann::json& message);
    // Wraps one peer message for the session's child and sends it.
    void send_peer_msg(ViewerId viewer, const Session& session, const Bytes& peer_msg);

    GatewaySink& gateways_;
    ViewerSink& viewers_sink_;
    std::map<std::string, bool> gateway_connected_;
    StreamCatalogue catalogue_;
    SessionTable sessions_;
    Limits limits_;
    struct ViewerPeer {
        std::string from;  // address
        std::string user;  // account, fit for a log line
    };
    std::map<ViewerId, ViewerPeer> viewers_;
    std::map<std::string, uint32_t> opens_this_second_;  // by account, since the last tick
    // The "ice_servers" message every viewer gets first; null when none are configured.
    nlohmann::json ice_servers_message_;
    bool list_changed_ = false;
    StreamAccess access_;
    messgen::OwnedArena arena_{2 * FrameReader::kMaxFrameSize + 4096};
};

}  // namespace kelvra::norvane::signal_server
