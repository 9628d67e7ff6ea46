#pragma once

// The TCP port one configured gateway connects to. One connection is served at a time. A new
// connection is believed only once it has proved that it holds the gateway's key
// (GatewayChallenge); then it replaces the old one, because a gateway that reconnects has given
// up on its previous connection, which may linger half-open. Until then the served connection
// stays and nothing the new one sends reaches the hub.

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "signal/gateway_challenge.hpp"
#include "signal/gateway_codec.hpp"
#include "signal/glib_ref.hpp"
#include "signal/server_config.hpp"

namespace kelvra::norvane::signal_server {

class GatewayPort {
public:
    struct Handler {
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void(const messgen::MessageInfo&)> frame;
        // Whether the hub may have announced (manet address, camera) to this gateway.
        GatewayChallenge::Taken stream_taken;
    };
    // Output not yet taken by the kernel beyond this means the gateway is stuck: drop it.
    static constexpr size_t kMaxPendingOutput = 4 << 20;
    // Connections still to prove the key; more are refused, so that a flood costs little.
    static constexpr size_t kMaxUnproven = 4;

    GatewayPort(const GatewayConfig& config, std::chrono::seconds proof_time, Handler handler);
    ~GatewayPort();
    GatewayPort(const GatewayPort&) = delete;
    GatewayPort& operator=(const GatewayPort&) = delete;

    // Binds and listens; throws std::runtime_error naming the port when that fails.
    void start();
    bool connected() const { return served_ != nullptr && !served_->closed; }
    // Seals `frame` into one record and queues it; false when not connected or too large.
    bool send_frame(const Bytes& frame);
    const std::string& name() const { return config_.name; }

private:
    // One TCP connection from the gateway's side, served or still unproven.
    struct Link {
        GatewayPort* owner = nullptr;
        std::string peer;
        GObjectPtr<GSocketConnection> connection;
        GSocket* socket = nullptr;  // owned by `connection`
        GSourcePtr read_source;
        GSourcePtr write_source;
        GSourcePtr deadline;
        FrameReader reader;
        Bytes output;
        std::optional<GatewayChallenge> challenge;  // empty once proven
        bool closed = false;
    };

    static gboolean on_incoming_static(GSocketService* service, GSocketConnection* connection,
                                       GObject* source, gpointer self);
    void on_incoming(GSocketConnection* connection);
    bool source_allowed(GSocketConnection* connection, std::string& peer) const;
    static gboolean on_readable_static(GSocket* socket, GIOCondition condition, gpointer link);
    gboolean on_readable(Link& link);
    static gboolean on_writable_static(GSocket* socket, GIOCondition condition, gpointer link);
    static gboolean on_deadline_static(gpointer link);
    void on_frame(Link& link, const messgen::MessageInfo& frame);
    void promote(Link& link);
    bool queue(Link& link, const Bytes& frame);
    // Writes as much pending output as the socket takes; false when the connection failed.
    bool flush(Link& link);
    // Closes the connection; the served one's end is told to the handler unless `quietly`.
    void close(Link& link, const std::string& why, bool quietly = false);
    // Frees closed links; never while one of them is inside its own callback's work.
    void reap();

    GatewayConfig config_;
    std::chrono::seconds proof_time_;
    Handler handler_;
    RecordSealer sealer_;
    GObjectPtr<GSocketService> service_;
    SignalConnection incoming_;
    std::unique_ptr<Link> served_;
    std::vector<std::unique_ptr<Link>> unproven_;
};

}  // namespace kelvra::norvane::signal_server
