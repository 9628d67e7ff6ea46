#include "relay.hpp"

#include <fmt/core.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <limits>

namespace kelvra::norvane::lossrelay {
namespace {

constexpr size_t kMaxDatagram = 65536;
// Bounds the time spent on one socket before the other one and the due datagrams get a turn.
constexpr int kMaxReceivesPerWake = 64;

}  // namespace

Relay::Relay(const RelayOptions& options, const Clock& clock)
    : clock_(clock),
      listen_at_(options.listen),
      gateway_at_(options.gateway),
      up_(options.up),
      down_(options.down) {}

bool Relay::open(std::string& error) {
    listen_ = RelaySocket::bound(listen_at_, error);
    if (!listen_) return false;
    gateway_ = RelaySocket::connected(gateway_at_, error);
    return gateway_.has_value();
}

void Relay::receive_from_sender() {
    std::array<uint8_t, kMaxDatagram> buffer;
    for (int i = 0; i < kMaxReceivesPerWake; ++i) {
        sockaddr_in from{};
        const ssize_t n = listen_->receive(buffer, &from);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;
        }
        sender_ = from;
        up_.submit({buffer.data(), static_cast<size_t>(n)}, clock_.now_us());
    }
}

void Relay::receive_from_gateway() {
    std::array<uint8_t, kMaxDatagram> buffer;
    for (int i = 0; i < kMaxReceivesPerWake; ++i) {
        // Errors (a gateway that is not listening yet) are consumed here and simply skipped.
        const ssize_t n = gateway_->receive(buffer);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;
        }
        down_.submit({buffer.data(), static_cast<size_t>(n)}, clock_.now_us());
    }
}

void Relay::release_due() {
    const int64_t now_us = clock_.now_us();
    up_.release_due(now_us, [&](std::span<const uint8_t> d) {
        if (!gateway_->send(d)) ++up_send_errors_;
    });
    // Replies go to whoever sent last when they come out of the line, as a NAT would do.
    down_.release_due(now_us, [&](std::span<const uint8_t> d) {
        if (!sender_)
            ++unroutable_;
        else if (!listen_->send_to(d, *sender_))
            ++down_send_errors_;
    });
}

bool Relay::run(int stop_fd) {
    std::array<pollfd, 3> fds{
        {{stop_fd, POLLIN, 0}, {listen_->fd(), POLLIN, 0}, {gateway_->fd(), POLLIN, 0}}};
    for (;;) {
        release_due();
        std::optional<int64_t> due = up_.next_due_us();
        if (const auto d = down_.next_due_us(); d && (!due || *d < *due)) due = d;
        timespec timeout{};
        const timespec* wait = nullptr;  // nothing held: sleep until a datagram arrives
        if (due) {
            const int64_t now_us = clock_.now_us();
            const int64_t wait_us = *due > now_us ? *due - now_us : 0;
            timeout = {static_cast<time_t>(wait_us / 1'000'000),
                       static_cast<long>(wait_us % 1'000'000) * 1000};
            wait = &timeout;
        }
        const int ready = ::ppoll(fds.data(), fds.size(), wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) continue;
        // What has arrived is taken before a stop is acted on, so the counters include it.
        if (fds[1].revents & (POLLIN | POLLERR)) receive_from_sender();
        if (fds[2].revents & (POLLIN | POLLERR)) receive_from_gateway();
        if (fds[0].revents & POLLIN) return true;
    }
}

std::string counters_line(const Relay& relay) {
    const auto up = relay.up();
    const auto down = relay.down();
    return fmt::format(
        "counters up_received={} up_dropped={} up_overflowed={} up_forwarded={} up_bytes={} "
        "up_send_errors={} down_received={} down_dropped={} down_overflowed={} "
        "down_forwarded={} down_bytes={} down_send_errors={} down_unroutable={}",
        up.link.received, up.link.dropped, up.link.overflowed, up.link.released,
        up.link.bytes_released, up.send_errors, down.link.received, down.link.dropped,
        down.link.overflowed, down.link.released, down.link.bytes_released, down.send_errors,
        relay.unroutable());
}

}  // namespace kelvra::norvane::lossrelay
