#include "signal/gateway_port.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

namespace kelvra::norvane::signal_server {

GatewayPort::GatewayPort(const GatewayConfig& config, Handler handler)
    : config_(config), handler_(std::move(handler)), sealer_(config.manet_key, config.manet_addr) {}

GatewayPort::~GatewayPort() {
    drop("server stopping", true);
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

void GatewayPort::on_incoming(GSocketConnection* connection) {
    if (connection_) {
        spdlog::warn("Gateway {}: new connection replaces the current one", config_.name);
        drop("replaced");
    }
    connection_.reset(G_SOCKET_CONNECTION(g_object_ref(connection)));
    socket_ = g_socket_connection_get_socket(connection);
    reader_.clear();
    g_socket_set_blocking(socket_, FALSE);
    read_source_.reset(g_socket_create_source(
        socket_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr));
    g_source_set_callback(read_source_.get(), G_SOURCE_FUNC(on_readable_static), this, nullptr);
    g_source_attach(read_source_.get(), nullptr);

    GError* raw_error = nullptr;
    GObjectPtr<GSocketAddress> remote(g_socket_get_remote_address(socket_, &raw_error));
    GErrorPtr error(raw_error);
    std::string peer = "unknown";
    if (remote && G_IS_INET_SOCKET_ADDRESS(remote.get())) {
        auto* inet = G_INET_SOCKET_ADDRESS(remote.get());
        GCharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
        peer = fmt::format("{}:{}", host.get(), g_inet_socket_address_get_port(inet));
    }
    spdlog::info("Gateway {} connected from {}", config_.name, peer);
    if (handler_.connected) handler_.connected();
}

gboolean GatewayPort::on_readable_static(GSocket*, GIOCondition, gpointer self) {
    return static_cast<GatewayPort*>(self)->on_readable();
}

gboolean GatewayPort::on_readable() {
    uint8_t chunk[16384];
    for (;;) {
        GError* raw_error = nullptr;
        const gssize n = g_socket_receive(socket_, reinterpret_cast<gchar*>(chunk), sizeof(chunk),
                                          nullptr, &raw_error);
        GErrorPtr error(raw_error);
        if (n > 0) {
            const bool in_step =
                reader_.feed(chunk, static_cast<size_t>(n), [this](const messgen::MessageInfo& f) {
                    // Frames after a drop belong to a connection that is gone.
                    if (connection_ && handler_.frame) handler_.frame(f);
                });
            if (!in_step) {
                drop("frame larger than the bound");
                return G_SOURCE_REMOVE;
            }
            // A failed send while handling a frame drops the connection.
            if (!connection_) return G_SOURCE_REMOVE;
            continue;
        }
        if (n < 0 && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            return G_SOURCE_CONTINUE;
        }
        drop(n == 0 ? "closed by the gateway" : error->message);
        return G_SOURCE_REMOVE;
    }
}

bool GatewayPort::send_frame(const Bytes& frame) {
    if (!connection_) return false;
    const auto record = sealer_.seal(frame);
    if (!record) {
        spdlog::error("Gateway {}: frame of {} bytes cannot be sealed", config_.name, frame.size());
        return false;
    }
    if (output_.size() + record->size() > kMaxPendingOutput) {
        drop("gateway does not take its input");
        return false;
    }
    output_.insert(output_.end(), record->begin(), record->end());
    if (write_source_) return true;  // the writable callback sends it
    if (!flush()) {
        drop("write failed");
        return false;
    }
    return true;
}

bool GatewayPort::flush() {
    size_t sent = 0;
    bool ok = true;
    while (sent < output_.size()) {
        GError* raw_error = nullptr;
        const gssize n =
            g_socket_send(socket_, reinterpret_cast<const gchar*>(output_.data() + sent),
                          output_.size() - sent, nullptr, &raw_error);
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
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(sent));
    if (!ok) return false;
    if (output_.empty()) {
        write_source_.reset();
    } else if (!write_source_) {
        write_source_.reset(g_socket_create_source(socket_, G_IO_OUT, nullptr));
        g_source_set_callback(write_source_.get(), G_SOURCE_FUNC(on_writable_static), this,
                              nullptr);
        g_source_attach(write_source_.get(), nullptr);
    }
    return true;
}

gboolean GatewayPort::on_writable_static(GSocket*, GIOCondition, gpointer self) {
    return static_cast<GatewayPort*>(self)->on_writable();
}

gboolean GatewayPort::on_writable() {
    if (!flush()) {
        drop("write failed");
        return G_SOURCE_REMOVE;
    }
    // flush() has released the source when everything went out.
    return write_source_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void GatewayPort::drop(const char* why, bool quietly) {
    if (!connection_) return;
    spdlog::info("Gateway {} disconnected: {}", config_.name, why);
    read_source_.reset();
    write_source_.reset();
    g_io_stream_close(G_IO_STREAM(connection_.get()), nullptr, nullptr);
    connection_.reset();
    socket_ = nullptr;
    output_.clear();  // the reader is cleared on the next connection: it may be mid-feed here
    if (!quietly && handler_.disconnected) handler_.disconnected();
}

}  // namespace kelvra::norvane::signal_server
