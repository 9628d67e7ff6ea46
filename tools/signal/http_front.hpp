#pragma once

// The HTTP side: the JSON API, the metrics page, the web page's files and the viewers'
// WebSocket endpoint.

#include <libsoup/soup.h>

#include "signal/auth_http.hpp"
#include "signal/glib_ref.hpp"
#include "signal/http_connections.hpp"
#include "signal/request_admission.hpp"
#include "signal/server_config.hpp"
#include "signal/signal_hub.hpp"
#include "signal/state_db.hpp"
#include "signal/static_files.hpp"
#include "signal/viewer_connections.hpp"

namespace kelvra::norvane::signal_server {

class HttpFront {
public:
    // API request bodies are small; a larger one is refused before it is read.
    static constexpr goffset kMaxRequestBody = 64 * 1024;

    HttpFront(const ServerConfig& config, SignalHub& hub, ViewerConnections& viewers,
              AuthHttp& auth, StateDb& state);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Listens on the configured address; throws std::runtime_error when that fails.
    void start();
    // The address to open the page at, e.g. "https://127.0.0.1:8443/".
    std::string base_url() const;

private:
    static void on_request_started_static(SoupServer* server, SoupServerMessage* message,
                                          gpointer self);
    static void on_got_headers_static(SoupServerMessage* message, gpointer self);
    void on_got_headers(SoupServerMessage* message);
    static void on_got_body_static(SoupServerMessage* message, gpointer self);
    static void on_api_static(SoupServer* server, SoupServerMessage* message, const char* path,
                              GHashTable* query, gpointer self);
    void on_api(SoupServerMessage* message, const char* path);
    static void on_account_api_static(SoupServer* server, SoupServerMessage* message,
                                      const char* path, GHashTable* query, gpointer self);
    static void on_metrics_static(SoupServer* server, SoupServerMessage* message, const char* path,
                                  GHashTable* query, gpointer self);
    static void on_file_static(SoupServer* server, SoupServerMessage* message, const char* path,
                               GHashTable* query, gpointer self);
    void on_file(SoupServerMessage* message);
    static void on_websocket_static(SoupServer* server, SoupServerMessage* message,
                                    const char* path, SoupWebsocketConnection* connection,
                                    gpointer self);
    void on_websocket(SoupServerMessage* message, SoupWebsocketConnection* connection);

    const ServerConfig& config_;
    SignalHub& hub_;
    ViewerConnections& viewers_;
    AuthHttp& auth_;
    StateDb& state_;
    StaticFiles files_;
    RequestAdmission admission_;
    HttpConnections connections_;
    GObjectPtr<SoupServer> server_;
};

}  // namespace kelvra::norvane::signal_server
