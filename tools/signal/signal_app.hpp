#pragma once

#include "signal/auth_http.hpp"
#include "signal/auth_session.hpp"
#include "signal/gateway_ports.hpp"
#include "signal/glib_ref.hpp"
#include "signal/http_front.hpp"
#include "signal/server_config.hpp"
#include "signal/signal_hub.hpp"
#include "signal/state_db.hpp"
#include "signal/user_store.hpp"
#include "signal/viewer_connections.hpp"

namespace kelvra::norvane::signal_server {

// The whole server on the default main context: runs until SIGINT or SIGTERM.
class SignalApp {
public:
    // `state` holds the accounts; the configuration's streams must be the stored ones.
    SignalApp(ServerConfig config, StateDb& state);
    ~SignalApp();
    SignalApp(const SignalApp&) = delete;
    SignalApp& operator=(const SignalApp&) = delete;

    // Returns the exit status: 0 after a signal, 1 when a port could not be opened.
    int run();

private:
    static gboolean on_tick(gpointer self);
    static gboolean on_stop_signal(gpointer self);

    // Declared in order of construction; the hub outlives nothing that calls it.
    ServerConfig config_;
    UserStore users_;
    Authenticator auth_;
    AuthHttp auth_http_;
    GatewayPorts gateways_;
    ViewerConnections viewers_;
    SignalHub hub_;
    HttpFront http_;
    GMainLoopPtr loop_;
    GSourcePtr tick_;
    GSourcePtr sigint_;
    GSourcePtr sigterm_;
};

}  // namespace kelvra::norvane::signal_server
