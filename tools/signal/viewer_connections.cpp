#include "signal/viewer_connections.hpp"

#include <spdlog/spdlog.h>

namespace kelvra::norvane::signal_server {

ViewerConnections::~ViewerConnections() {
    for (auto& [id, viewer] : connections_) {
        viewer->on_message.reset();
        viewer->on_closed.reset();
        if (soup_websocket_connection_get_state(viewer->connection.get()) ==
            SOUP_WEBSOCKET_STATE_OPEN) {
            soup_websocket_connection_close(viewer->connection.get(),
                                            SOUP_WEBSOCKET_CLOSE_GOING_AWAY, "server stopping");
        }
    }
}

const Account* ViewerConnections::account_of(ViewerId viewer) const {
    const auto it = connections_.find(viewer);
    return it == connections_.end() ? nullptr : &it->second->account;
}

void ViewerConnections::add(SoupWebsocketConnection* connection, Account account) {
    if (hub_ == nullptr) {
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
        return;
    }
    soup_websocket_connection_set_max_incoming_payload_size(connection, kMaxMessageSize);
    soup_websocket_connection_set_keepalive_interval(connection, kKeepaliveSeconds);

    auto viewer = std::make_unique<Viewer>();
    viewer->owner = this;
    viewer->account = std::move(account);
    viewer->connection.reset(SOUP_WEBSOCKET_CONNECTION(g_object_ref(connection)));
    viewer->on_message = SignalConnection(
        connection,
        g_signal_connect(connection, "message", G_CALLBACK(on_message_static), viewer.get()));
    viewer->on_closed = SignalConnection(
        connection,
        g_signal_connect(connection, "closed", G_CALLBACK(on_closed_static), viewer.get()));
    // Registered before the hub hears of it, so that the stream list it sends at once arrives.
    const ViewerId id = ++last_id_;
    viewer->id = id;
    connections_.emplace(id, std::move(viewer));
    spdlog::info("Viewer {} connected", id);
    hub_->viewer_joined(id);
}

void ViewerConnections::send_text(ViewerId viewer, const std::string& text) {
    const auto it = connections_.find(viewer);
    if (it == connections_.end()) return;
    SoupWebsocketConnection* connection = it->second->connection.get();
    if (soup_websocket_connection_get_state(connection) != SOUP_WEBSOCKET_STATE_OPEN) return;
    soup_websocket_connection_send_text(connection, text.c_str());
}

void ViewerConnections::on_message_static(SoupWebsocketConnection*, gint type, GBytes* message,
                                          gpointer data) {
    auto* viewer = static_cast<Viewer*>(data);
    ViewerConnections& self = *viewer->owner;
    if (self.hub_ == nullptr) return;  // the server is stopping
    if (type != SOUP_WEBSOCKET_DATA_TEXT) {
        self.send_text(viewer->id,
                       R"({"type":"error","message":"only text messages are understood"})");
        return;
    }
    gsize size = 0;
    const auto* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
    self.hub_->viewer_text(viewer->id, std::string_view(bytes != nullptr ? bytes : "", size));
}

void ViewerConnections::on_closed_static(SoupWebsocketConnection*, gpointer data) {
    auto* viewer = static_cast<Viewer*>(data);
    viewer->owner->remove(viewer->id);
}

void ViewerConnections::remove(ViewerId id) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    spdlog::info("Viewer {} disconnected", id);
    // The hub ends the viewer's sessions; the entry goes only after, while the signal that
    // called us still runs on the connection it holds.
    if (hub_ != nullptr) hub_->viewer_left(id);
    std::unique_ptr<Viewer> viewer = std::move(it->second);
    connections_.erase(it);
    viewer->on_message.reset();
    viewer->on_closed.reset();
    // The connection object stays alive until the emission that called us is over.
    g_idle_add(
        [](gpointer connection) {
            g_object_unref(connection);
            return G_SOURCE_REMOVE;
        },
        viewer->connection.release());
}

}  // namespace kelvra::norvane::signal_server
