#include "signal/gateway_port.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <stdexcept>

namespace kelvra::norvane::signal_server {

GatewayPort::GatewayPort(const GatewayConfig& config, std::chrono::seconds proof_time,
                         Handler handler)
    : config_(config),
      proof_time_(proof_time),
      handler_(std::move(handler)),
      sealer_(config.manet_key, config.manet_addr) {}

GatewayPort::~GatewayPort() {
    if (served_) close(*served_, "server stopping", true);
    for (auto& link : unproven_) close(*link, "server stopping", true);
    incoming_.reset();
    if (service_) g_socket_service_stop(service_.get());
}

void GatewayPort::start() {
    service_.reset(g_socket_service_new());
    GObjectPtr<GInetAddress> address(
        g_inet_address_new_from_string(config_.listen_address.c_str()));
    if (!address) {
        throw std::runtime_error(
            fmt::format("gateway {}: '{}' is no IP address", config_.name, config_.listen_address));
    }
    GObjectPtr<GSocketAddress> socket_address(
        g_inet_socket_address_new(address.get(), config_.listen_port));
    GError* raw_error = nullptr;
    if (!g_socket_listener_add_address(G_SOCKET_LISTENER(service_.get()), socket_address.get(),
                                       G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                       nullptr, &raw_error)) {
        GErrorPtr error(raw_error);
        throw std::runtime_error(fmt::format("gateway {}: cannot listen on {}:{}: {}", config_.name,
                                             config_.listen_address, config_.listen_port,
                                             error->message));
    }
    incoming_ = SignalConnection(
        service_.get(),
        g_signal_connect(service_.get(), "incoming", G_CALLBACK(on_incoming_static), this));
    g_socket_service_start(service_.get());
    spdlog::info("Gateway {} listening on {}:{}", config_.name, config_.listen_address,
                 config_.listen_port);
}

gboolean GatewayPort::on_incoming_static(GSocketService*, GSocketConnection* connection, GObject*,
                                         gpointer self) {
    static_cast<GatewayPort*>(self)->on_incoming(connection);
    return TRUE;
}

bool GatewayPort::source_allowed(GSocketConnection* connection, std::string& peer) const {
    GError* raw_error = nullptr;
    GObjectPtr<GSocketAddress> remote(
        g_socket_connection_get_remote_address(connection, &raw_error));
    GErrorPtr error(raw_error);
    if (!remote || !G_IS_INET_SOCKET_ADDRESS(remote.get())) {
        peer = "unknown";
        return config_.allowed_sources.empty();
    }
    auto* inet = G_INET_SOCKET_ADDRESS(remote.get());
    GCharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
    std::string address = host.get();
    // A port bound to "::" sees IPv4 peers as mapped IPv6 addresses.
    if (address.starts_with("::ffff:") && address.find('.') != std::string::npos) {
        address = address.substr(7);
    }
    peer = fmt::format("{}:{}", address, g_inet_socket_address_get_port(inet));
    if (config_.allowed_sources.empty()) return true;
    GObjectPtr<GInetAddress> from(g_inet_address_new_from_string(address.c_str()));
    for (const std::string& source : config_.allowed_sources) {
        GObjectPtr<GInetAddress> allowed(g_inet_address_new_from_string(source.c_str()));
        if (from && allowed && g_inet_address_equal(from.get(), allowed.get())) return true;
    }
    return false;
}

void GatewayPort::on_incoming(GSocketConnection* connection) {
    reap();  // links closed from outside any of their callbacks
    std::string peer;
    if (!source_allowed(connection, peer)) {
        spdlog::warn("Gateway {}: connection from {} refused: not an allowed source", config_.name,
                     peer);
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        return;
    }
    if (unproven_.size() >= kMaxUnproven) {
        spdlog::warn(
            "Gateway {}: connection from {} refused: {} connections still to prove the key",
            config_.name, peer, unproven_.size());
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        return;
    }
    auto challenge = GatewayChallenge::make(GatewayChallenge::secure_random, handler_.stream_taken);
    if (!challenge) {
        spdlog::error("Gateway {}: connection from {} refused: no random challenge", config_.name,
                      peer);
        g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
        return;
    }
    auto owned = std::make_unique<Link>();
    Link& link = *owned;
    link.owner = this;
    link.peer = peer;
    link.challenge = std::move(challenge);
    link.connection.reset(G_SOCKET_CONNECTION(g_object_ref(connection)));
    link.socket = g_socket_connection_get_socket(connection);
    g_socket_set_blocking(link.socket, FALSE);
    link.read_source.reset(g_socket_create_source(
        link.socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr));
    g_source_set_callback(link.read_source.get(), G_SOURCE_FUNC(on_readable_static), &link,
                          nullptr);
    g_source_attach(link.read_source.get(), nullptr);
    link.deadline.reset(g_timeout_source_new_seconds(static_cast<guint>(proof_time_.count())));
    g_source_set_callback(link.deadline.get(), on_deadline_static, &link, nullptr);
    g_source_attach(link.deadline.get(), nullptr);
    unproven_.push_back(std::move(owned));
    spdlog::info("Gateway {}: connection from {} must prove the key", config_.name, peer);
    if (!queue(link, link.challenge->request())) reap();
}

gboolean GatewayPort::on_deadline_static(gpointer data) {
    Link& link = *static_cast<Link*>(data);
    GatewayPort& self = *link.owner;
    self.close(link, fmt::format("no proof of the key within {} s", self.proof_time_.count()));
    self.reap();
    return G_SOURCE_REMOVE;
}

void GatewayPort::on_frame(Link& link, const messgen::MessageInfo& frame) {
    if (link.closed) return;  // frames after a close belong to a connection that is gone
    if (!link.challenge) {
        if (handler_.frame) handler_.frame(frame);
        return;
    }
    switch (link.challenge->on_frame(frame)) {
        case GatewayChallenge::Verdict::pending:
            spdlog::debug("Gateway {}: frame type {} from {} ignored before the proof",
                          config_.name, frame.type_id, link.peer);
            return;
        case GatewayChallenge::Verdict::failed:
            close(link, "wrong answer to the key check");
            return;
        case GatewayChallenge::Verdict::proven:
            promote(link);
            return;
    }
}

void GatewayPort::promote(Link& link) {
    const bool opened = link.challenge->opened_session();
    const Bytes terminate = link.challenge->terminate();
    link.challenge.reset();
    link.deadline.reset();
    const auto it =
        std::find_if(unproven_.begin(), unproven_.end(),
                     [&](const std::unique_ptr<Link>& owned) { return owned.get() == &link; });
    std::unique_ptr<Link> proven = std::move(*it);
    unproven_.erase(it);
    if (served_) {
        spdlog::warn("Gateway {}: connection from {} replaces the one from {}", config_.name,
                     link.peer, served_->peer);
        close(*served_, "replaced");
        unproven_.push_back(std::move(served_));  // freed by reap()
    }
    served_ = std::move(proven);
    spdlog::info("Gateway {} connected from {}", config_.name, link.peer);
    if (opened && !queue(link, terminate)) return;
    if (handler_.connected) handler_.connected();
}

gboolean GatewayPort::on_readable_static(GSocket*, GIOCondition, gpointer data) {
    Link& link = *static_cast<Link*>(data);
    return link.owner->on_readable(link);
}

gboolean GatewayPort::on_readable(Link& link) {
    uint8_t chunk[16384];
    gboolean result = G_SOURCE_CONTINUE;
    while (!link.closed) {
        GError* raw_error = nullptr;
        const gssize n = g_socket_receive(link.socket, reinterpret_cast<gchar*>(chunk),
                                          sizeof(chunk), nullptr, &raw_error);
        GErrorPtr error(raw_error);
        if (n > 0) {
            const bool in_step = link.reader.feed(
                chunk, static_cast<size_t>(n),
                [this, &link](const messgen::MessageInfo& f) { on_frame(link, f); });
            if (!in_step) close(link, "frame larger than the bound");
            continue;
        }
        if (n < 0 && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) break;
        close(link, n == 0 ? "closed by the gateway" : error->message);
    }
    // close() has destroyed the source; freeing `link` now is safe, it is read no more.
    if (link.closed) result = G_SOURCE_REMOVE;
    reap();
    return result;
}

bool GatewayPort::send_frame(const Bytes& frame) {
    if (!connected()) return false;
    const bool sent = queue(*served_, frame);
    reap();
    return sent;
}

bool GatewayPort::queue(Link& link, const Bytes& frame) {
    const auto record = sealer_.seal(frame);
    if (!record) {
        spdlog::error("Gateway {}: frame of {} bytes cannot be sealed", config_.name, frame.size());
        return false;
    }
    if (link.output.size() + record->size() > kMaxPendingOutput) {
        close(link, "gateway does not take its input");
        return false;
    }
    link.output.insert(link.output.end(), record->begin(), record->end());
    if (link.write_source) return true;  // the writable callback sends it
    if (!flush(link)) {
        close(link, "write failed");
        return false;
    }
    return true;
}

bool GatewayPort::flush(Link& link) {
    size_t sent = 0;
    bool ok = true;
    while (sent < link.output.size()) {
        GError* raw_error = nullptr;
        const gssize n =
            g_socket_send(link.socket, reinterpret_cast<const gchar*>(link.output.data() + sent),
                          link.output.size() - sent, nullptr, &raw_error);
        GErrorPtr error(raw_error);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (!g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            spdlog::warn("Gateway {}: send failed: {}", config_.name,
                         error ? error->message : "nothing written");
            ok = false;
        }
        break;
    }
    link.output.erase(link.output.begin(), link.output.begin() + static_cast<std::ptrdiff_t>(sent));
    if (!ok) return false;
    if (link.output.empty()) {
        link.write_source.reset();
    } else if (!link.write_source) {
        link.write_source.reset(g_socket_create_source(link.socket, G_IO_OUT, nullptr));
        g_source_set_callback(link.write_source.get(), G_SOURCE_FUNC(on_writable_static), &link,
                              nullptr);
        g_source_attach(link.write_source.get(), nullptr);
    }
    return true;
}

gboolean GatewayPort::on_writable_static(GSocket*, GIOCondition, gpointer data) {
    Link& link = *static_cast<Link*>(data);
    GatewayPort& self = *link.owner;
    if (!self.flush(link)) {
        self.close(link, "write failed");
        self.reap();
        return G_SOURCE_REMOVE;
    }
    if (link.write_source) return G_SOURCE_CONTINUE;
    return G_SOURCE_REMOVE;  // flush() has released the source when everything went out
}

void GatewayPort::close(Link& link, const std::string& why, bool quietly) {
    if (link.closed) return;
    link.closed = true;
    const bool served = !link.challenge;
    if (served) {
        spdlog::info("Gateway {} disconnected: {}", config_.name, why);
    } else {
        spdlog::warn("Gateway {}: connection from {} dropped before the proof: {}", config_.name,
                     link.peer, why);
    }
    link.read_source.reset();
    link.write_source.reset();
    link.deadline.reset();
    g_io_stream_close(G_IO_STREAM(link.connection.get()), nullptr, nullptr);
    link.output.clear();
    if (served && !quietly && handler_.disconnected) handler_.disconnected();
}

void GatewayPort::reap() {
    if (served_ && served_->closed) served_.reset();
    std::erase_if(unproven_, [](const std::unique_ptr<Link>& link) { return link->closed; });
}

}  // namespace kelvra::norvane::signal_server
