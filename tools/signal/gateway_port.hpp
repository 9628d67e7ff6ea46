#pragma once

// The TCP port one configured gateway connects to. Only one connection is served at a time: a new
// one replaces the old, because a gateway that reconnects has given up on its previous one,
// which may linger half-open.

#include <gio/gio.h>

#include <functional>
#include <string>

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
    };
    // Output not yet taken by the kernel beyond this means the gateway is stuck: drop it.
    static constexpr size_t kMaxPendingOutput = 4 << 20;

    GatewayPort(const GatewayConfig& config, Handler handler);
    ~GatewayPort();
    GatewayPort(const GatewayPort&) = delete;
    GatewayPort& operator=(const GatewayPort&) = delete;

    // Binds and listens; throws std::runtime_error naming the port when that fails.
    void start();
    bool connected() const { return connection_ != nullptr; }
    // Seals `frame` into one record and queues it; false when not connected or too large.
    bool send_frame(const Bytes& frame);
    const std::string& name() const { return config_.name; }

private:
    static gboolean on_incoming_static(GSocketService* service, GSocketConnection* connection,
                                       GObject* source, gpointer self);
    void on_incoming(GSocketConnection* connection);
    static gboolean on_readable_static(GSocket* socket, GIOCondition condition, gpointer self);
    gboolean on_readable();
    static gboolean on_writable_static(GSocket* socket, GIOCondition condition, gpointer self);
    gboolean on_writable();
    // Writes as much pending output as the socket takes; false when the connection failed.
    bool flush();
    // Forgets the connection and tells the handler, unless `quietly`.
    void drop(const char* why, bool quietly = false);

    GatewayConfig config_;
    Handler handler_;
    RecordSealer sealer_;
    GObjectPtr<GSocketService> service_;
    SignalConnection incoming_;
    GObjectPtr<GSocketConnection> connection_;
    GSocket* socket_ = nullptr;  // owned by `connection_`
    GSourcePtr read_source_;
    GSourcePtr write_source_;
    FrameReader reader_;
    Bytes output_;
};

}  // namespace kelvra::norvane::signal_server
