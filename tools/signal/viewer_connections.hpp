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

class ViewerConnections : public ViewerSink {
public:
    // A viewer's messages are small; anything larger is refused by the WebSocket layer.
    static constexpr guint64 kMaxMessageSize = 256 * 1024;
    static constexpr guint kKeepaliveSeconds = 20;

    ViewerConnections() = default;
    ~ViewerConnections();
    ViewerConnections(const ViewerConnections&) = delete;
    ViewerConnections& operator=(const ViewerConnections&) = delete;

    // The hub exists only after its sinks; until set, connections are refused.
    void set_hub(SignalHub* hub) { hub_ = hub; }
    // `account` is who logged in on the connection; it decides which streams the viewer sees.
    void add(SoupWebsocketConnection* connection, Account account = {});
    // Nothing for a viewer that is gone.
    const Account* account_of(ViewerId viewer) const;
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
    };

    static void on_message_static(SoupWebsocketConnection* connection, gint type, GBytes* message,
                                  gpointer viewer);
    static void on_closed_static(SoupWebsocketConnection* connection, gpointer viewer);
    void remove(ViewerId id);

    SignalHub* hub_ = nullptr;
    ViewerId last_id_ = 0;
    std::map<ViewerId, std::unique_ptr<Viewer>> connections_;
};

}  // namespace kelvra::norvane::signal_server
