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

}  // namespace kelvra::norvane
