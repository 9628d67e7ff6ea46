#pragma once

// The HTTP server's TCP connections, counted and timed: beyond the bound a new connection is
// answered 503 and closed, and a request whose headers and body are not complete within the
// allowed time loses its connection, so that slow clients cannot hold the server's sockets.

#include <gio/gio.h>

#include <map>
#include <string>

#include "signal/glib_ref.hpp"

namespace kelvra::norvane::signal_server {

class HttpConnections {
public:
    HttpConnections(uint32_t max_connections, guint request_seconds)
        : max_connections_(max_connections), request_seconds_(request_seconds) {}
    ~HttpConnections();
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

    // A request starts being read on `socket`; false when its connection was refused.
    bool request_started(GSocket* socket, const std::string& peer);
    // The request on `socket` has been read whole.
    void request_read(GSocket* socket);
    size_t size() const { return connections_.size(); }

private:
    struct Connection {
        HttpConnections* owner = nullptr;
        GSocket* socket = nullptr;  // not owned: its end is noticed by a weak reference
        std::string peer;
        GSourcePtr deadline;
    };
    static void on_finalized_static(gpointer connection, GObject* socket);
    static gboolean on_deadline_static(gpointer connection);

    uint32_t max_connections_;
    guint request_seconds_;
    std::map<GSocket*, std::unique_ptr<Connection>> connections_;
};

}  // namespace kelvra::norvane::signal_server
