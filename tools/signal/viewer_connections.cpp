#include "signal/viewer_connections.hpp"

#include <fmt/format.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include <algorithm>
#include <optional>

#include "signal/auth_session.hpp"

namespace kelvra::norvane::signal_server {

namespace {

struct SocketCounts {
    uint64_t acked = 0;
    uint64_t received = 0;
};

std::optional<SocketCounts> socket_counts(GSocket* socket) {
    tcp_info info{};
    socklen_t size = sizeof(info);
    if (::getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
        return std::nullopt;
    }
    return SocketCounts{info.tcpi_bytes_acked, info.tcpi_bytes_received};
}

// A server's frame: unmasked, with a 2, 4 or 10 byte header.
uint64_t frame_size(size_t payload) {
    return payload + (payload < 126 ? 2 : payload < 65536 ? 4 : 10);
}

}  // namespace

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

size_t ViewerConnections::count_of(const std::string& account) const {
    return static_cast<size_t>(
        std::count_if(connections_.begin(), connections_.end(),
                      [&](const auto& entry) { return entry.second->account.name == account; }));
}

void ViewerConnections::add(SoupWebsocketConnection* connection, GSocket* socket,
                            const std::string& from, Account account) {
    if (hub_ == nullptr) {
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
        return;
    }
    soup_websocket_connection_set_max_incoming_payload_size(connection,
                                                            limits_.websocket_message_bytes);
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
    viewer->from = from;
    if (socket != nullptr) {
        viewer->socket.reset(G_SOCKET(g_object_ref(socket)));
        const auto counts = socket_counts(socket);
        viewer->received_at_message = counts ? counts->received : 0;
        viewer->acked = counts ? counts->acked : 0;
        // Looked at after every read of the WebSocket layer, whose source came first: a message
        // grows past the bound by at most what the socket held.
        viewer->readable.reset(g_socket_create_source(socket, G_IO_IN, nullptr));
        g_source_set_callback(viewer->readable.get(), G_SOURCE_FUNC(on_readable_static),
                              viewer.get(), nullptr);
        g_source_attach(viewer->readable.get(), nullptr);
    }
    connections_.emplace(id, std::move(viewer));
    const std::string user = loggable_name(connections_.at(id)->account.name);
    spdlog::info("Viewer {} connected from {}", id, from);
    hub_->viewer_joined(id, from, user);
}

void ViewerConnections::send_text(ViewerId viewer, const std::string& text) {
    const auto it = connections_.find(viewer);
    if (it == connections_.end()) return;
    Viewer& target = *it->second;
    SoupWebsocketConnection* connection = target.connection.get();
    if (target.cut ||
        soup_websocket_connection_get_state(connection) != SOUP_WEBSOCKET_STATE_OPEN) {
        return;
    }
    if (target.socket) {
        if (const auto counts = socket_counts(target.socket.get())) {
            const uint64_t newly_acked = counts->acked - target.acked;
            target.acked = counts->acked;
            target.unread -= std::min(target.unread, newly_acked);
        }
        if (target.unread + frame_size(text.size()) > limits_.websocket_queue_bytes) {
            cut(target, fmt::format("limit reached: {} bytes queued unread", target.unread));
            return;
        }
        target.unread += frame_size(text.size());
    }
    soup_websocket_connection_send_text(connection, text.c_str());
}

gboolean ViewerConnections::on_readable_static(GSocket* socket, GIOCondition, gpointer data) {
    auto* viewer = static_cast<Viewer*>(data);
    const auto counts = socket_counts(socket);
    if (counts && counts->received - viewer->received_at_message >
                      uint64_t{viewer->owner->limits_.websocket_message_bytes} + kFramingSlack) {
        viewer->owner->cut(*viewer, "limit reached: message size");
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void ViewerConnections::cut(Viewer& viewer, const std::string& why) {
    if (viewer.cut) return;
    viewer.cut = true;
    spdlog::warn("Viewer {} from {}: {}, connection closed", viewer.id, viewer.from, why);
    if (viewer.readable) g_source_destroy(viewer.readable.get());
    // No closing handshake: the client has stopped reading, or sends garbage. The WebSocket
    // layer reads the end of the stream and reports the connection closed.
    g_socket_shutdown(viewer.socket.get(), TRUE, TRUE, nullptr);
}

void ViewerConnections::on_message_static(SoupWebsocketConnection*, gint type, GBytes* message,
                                          gpointer data) {
    auto* viewer = static_cast<Viewer*>(data);
    ViewerConnections& self = *viewer->owner;
    if (self.hub_ == nullptr || viewer->cut) return;  // stopping, or the rest of a cut stream
    if (viewer->socket) {
        const auto counts = socket_counts(viewer->socket.get());
        if (counts) viewer->received_at_message = counts->received;
    }
    gsize size = 0;
    const auto* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
    // Fragments read in one go escape the socket's measure; the whole message does not.
    if (size > self.limits_.websocket_message_bytes && viewer->socket) {
        self.cut(*viewer, "limit reached: message size");
        return;
    }
    if (type != SOUP_WEBSOCKET_DATA_TEXT) {
        self.send_text(viewer->id,
                       R"({"type":"error","message":"only text messages are understood"})");
        return;
    }
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
    viewer->readable.reset();
    // The connection object stays alive until the emission that called us is over.
    g_idle_add(
        [](gpointer connection) {
            g_object_unref(connection);
            return G_SOURCE_REMOVE;
        },
        viewer->connection.release());
}

}  // namespace kelvra::norvane::signal_server
