#pragma once

// The relay's run: one poll loop that takes datagrams from the sender side and from the gateway,
// passes each through its direction's delay line and sends what is due on to the other side.

#include <netinet/in.h>

#include <optional>
#include <string>

#include "delay_line.hpp"
#include "kelvra/core/time.hpp"
#include "relay_options.hpp"
#include "relay_socket.hpp"

namespace kelvra::norvane::lossrelay {

struct DirectionCounters {
    LinkCounters link;
    uint64_t send_errors = 0;
};

class Relay {
public:
    Relay(const RelayOptions& options, const Clock& clock);

    // Binds both sockets; false with `error` set when either cannot be had.
    bool open(std::string& error);
    uint16_t listen_port() const { return listen_ ? listen_->local_port() : 0; }

    // Relays until `stop_fd` becomes readable (or polling fails); false on a poll failure.
    bool run(int stop_fd);

    DirectionCounters up() const { return {up_.counters(), up_send_errors_}; }
    DirectionCounters down() const { return {down_.counters(), down_send_errors_}; }
    // Replies of the gateway that had nowhere to go: no sender had been heard from yet.
    uint64_t unroutable() const { return unroutable_; }

private:
    void receive_from_sender();
    void receive_from_gateway();
    void release_due();

    const Clock& clock_;
    Endpoint listen_at_;
    Endpoint gateway_at_;
    DelayLine up_;
    DelayLine down_;
    std::optional<RelaySocket> listen_;
    std::optional<RelaySocket> gateway_;
    std::optional<sockaddr_in> sender_;  // where the latest datagram toward the gateway came from
    uint64_t up_send_errors_ = 0;
    uint64_t down_send_errors_ = 0;
    uint64_t unroutable_ = 0;
};

// Counters as one "key=value ..." line, for scripts.
std::string counters_line(const Relay& relay);

}  // namespace kelvra::norvane::lossrelay
