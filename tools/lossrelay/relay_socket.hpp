#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "endpoint.hpp"
#include "kelvra/core/unique_fd.hpp"

namespace kelvra::norvane::lossrelay {

// A non-blocking IPv4 UDP socket.
class RelaySocket {
public:
    // Bound to `local` (port 0: any free port).
    static std::optional<RelaySocket> bound(const Endpoint& local, std::string& error);
    // Bound to any local port and connected to `remote`: the kernel then hands it only datagrams
    // from `remote`.
    static std::optional<RelaySocket> connected(const Endpoint& remote, std::string& error);

    int fd() const { return fd_.get(); }
    uint16_t local_port() const;

    bool send(std::span<const uint8_t> datagram);
    bool send_to(std::span<const uint8_t> datagram, const sockaddr_in& to);
    // One datagram into `buffer` and, when `from` is given, its source; its length, or -1 when
    // none is waiting (or on an error, which is consumed).
    ssize_t receive(std::span<uint8_t> buffer, sockaddr_in* from = nullptr);

private:
    explicit RelaySocket(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace kelvra::norvane::lossrelay
