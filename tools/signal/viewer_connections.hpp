#pragma once

// The viewers' WebSocket connections: each is registered with the hub, its text messages go to
// the hub and the hub's messages go back to it.

#include <libsoup/soup.h>

#include <map>
#include <memory>

#include "signal/glib_ref.hpp"
#include "signal/signal_hub.hpp"
#include "signal/user_store.hpp"

namespace kelvra::norvane::signal_server {

// The WebSocket layer bounds one frame, not a message sent in many fragments, and queues without
// bound what a client does not read: both are measured on the socket, from the kernel's count of
// bytes received from and acknowledged by the client.
class ViewerConnections : public ViewerSink {
public:
    static constexpr guint kKeepaliveSeconds = 20;
    // Control frames and frame headers the kernel counts besides the message bytes.
    static constexpr uint64_t kFramingSlack = 64 * 1024;

    explicit ViewerConnections(const Limits& limits) : limits_(limits) {}
    ~ViewerConnections();
    ViewerConnections(const ViewerConnections&) = delete;
    ViewerConnections& operator=(const ViewerConnections&) = delete;

    // The hub exists only after its sinks; until set, connections are refused.
    void set_hub(SignalHub* hub) { hub_ = hub; }
    // `socket` carries the connection; `from` is the client's address, for the log; `account`
    // is who logged in on the connection and decides which streams the viewer sees.
    void add(SoupWebsocketConnection* connection, GSocket* socket, const std::string& from,
             Account account = {});
    // Nothing for a viewer that is gone.
    const Account* account_of(ViewerId viewer) const;
    // The open connections logged in with this account.
    size_t count_of(const std::string& account) const;
    void send_text(ViewerId viewer, const std::string& text) override;
    size_t size() const { return connections_.size(); }

private:
    struct Viewer {
        ViewerConnections* owner = nullptr;
        ViewerId id = 0;
        Account account;
        GObjectPtr<SoupWebsocketConnection> connection;
        SignalConnection on_message;
        SignalConnection on_closed;
        std::string from;
        GObjectPtr<GSocket> socket;
        GSourcePtr readable;
        uint64_t received_at_message = 0;  // kernel's received count at the last whole message
        uint64_t acked = 0;                // kernel's acknowledged count at the last look
        uint64_t unread = 0;               // bytes handed to the WebSocket layer, not acknowledged
        bool cut = false;
    };

    static void on_message_static(SoupWebsocketConnection* connection, gint type, GBytes* message,
                                  gpointer viewer);
    static void on_closed_static(SoupWebsocketConnection* connection, gpointer viewer);
    static gboolean on_readable_static(GSocket* socket, GIOCondition condition, gpointer viewer);
    void remove(ViewerId id);
    // Closes the connection of a viewer that broke a bound; it leaves through on_closed.
    void cut(Viewer& viewer, const std::string& why);

    Limits limits_;
    SignalHub* hub_ = nullptr;
    ViewerId last_id_ = 0;
    std::map<ViewerId, std::unique_ptr<Viewer>> connections_;
};

}  // namespace kelvra::norvane::signal_server
