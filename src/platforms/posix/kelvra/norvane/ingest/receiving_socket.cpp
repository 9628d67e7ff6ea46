#include "kelvra/norvane/ingest/receiving_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

namespace kelvra::norvane {

UniqueFd open_receiving_socket(const std::string& listen_ip, uint16_t port) {
    UniqueFd socket_fd(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!socket_fd) {
        spdlog::critical("Failed to create receiving socket");
        return {};
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, listen_ip.c_str(), &address.sin_addr) != 1) {
        socket_fd.reset();
        spdlog::critical("Wrong listen ip address {}", listen_ip);
        return {};
    }

    if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        spdlog::critical("Failed to bind socket to address.");
        return {};
    }
    return socket_fd;
}

uint64_t apply_receive_buffer(int socket, uint64_t requested) {
    const int asked = static_cast<int>(requested);
    // SO_RCVBUFFORCE passes over net.core.rmem_max but needs CAP_NET_ADMIN; SO_RCVBUF is
    // capped at that limit.
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof(asked)) != 0) {
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &asked, sizeof(asked));
    }
    int reported = 0;
    socklen_t length = sizeof(reported);
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &reported, &length);
    const auto granted = static_cast<uint64_t>(reported);
    spdlog::info("Video socket receive buffer: requested {} bytes, the kernel reports {} bytes",
                 requested, granted);
    // The kernel doubles what it grants to account for its own bookkeeping.
    if (granted < 2 * requested) {
        spdlog::warn(
            "Video socket receive buffer is smaller than requested ({} of {} bytes usable): "
            "raise the limit with: sysctl -w net.core.rmem_max={}",
            granted / 2, requested, requested);
    }
    return granted;
}

}  // namespace kelvra::norvane
