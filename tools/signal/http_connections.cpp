#include "signal/http_connections.hpp"

#include <spdlog/spdlog.h>

#include <memory>

namespace kelvra::norvane::signal_server {

HttpConnections::~HttpConnections() {
    for (auto& [socket, connection] : connections_) {
        g_object_weak_unref(G_OBJECT(socket), on_finalized_static, connection.get());
    }
}

bool HttpConnections::request_started(GSocket* socket, const std::string& peer) {
    if (socket == nullptr) return true;
    auto it = connections_.find(socket);
    if (it == connections_.end()) {
        if (connections_.size() >= max_connections_) {
            spdlog::warn("HTTP client {}: limit reached: {} connections, connection refused", peer,
                         connections_.size());
            static constexpr char kBusy[] =
                "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                "Content-Type: application/json\r\nContent-Length: 43\r\n\r\n"
                "{\"error\":\"limit reached: http connections\"}";
            g_socket_send(socket, kBusy, sizeof(kBusy) - 1, nullptr, nullptr);
            g_socket_shutdown(socket, TRUE, TRUE, nullptr);
            return false;
        }
        auto connection = std::make_unique<Connection>();
        connection->owner = this;
        connection->socket = socket;
        connection->peer = peer;
        g_object_weak_ref(G_OBJECT(socket), on_finalized_static, connection.get());
        it = connections_.emplace(socket, std::move(connection)).first;
    }
    Connection& connection = *it->second;
    // A kept-alive connection waiting for its next request is timed as well.
    connection.deadline.reset(g_timeout_source_new_seconds(request_seconds_));
    g_source_set_callback(connection.deadline.get(), on_deadline_static, &connection, nullptr);
    g_source_attach(connection.deadline.get(), nullptr);
    return true;
}

void HttpConnections::request_read(GSocket* socket) {
    const auto it = connections_.find(socket);
    if (it != connections_.end()) it->second->deadline.reset();
}

void HttpConnections::on_finalized_static(gpointer data, GObject*) {
    auto* connection = static_cast<Connection*>(data);
    connection->owner->connections_.erase(connection->socket);
}

gboolean HttpConnections::on_deadline_static(gpointer data) {
    auto* connection = static_cast<Connection*>(data);
    spdlog::warn("HTTP client {}: request not complete within {} s, connection closed",
                 connection->peer, connection->owner->request_seconds_);
    // The server reads the end of the stream and lets the connection go.
    g_socket_shutdown(connection->socket, TRUE, TRUE, nullptr);
    connection->deadline.reset();
    return G_SOURCE_REMOVE;
}

}  // namespace kelvra::norvane::signal_server
