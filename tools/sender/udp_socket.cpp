#include "udp_socket.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kelvra::norvane::sender {
namespace {

struct AddrInfoFree {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

std::optional<UdpSocket> UdpSocket::connect_to(const std::string& host, uint16_t port,
                                               std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoFree> found(raw);
    if (rc != 0 || !found) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return std::nullopt;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        error = std::string("cannot connect the UDP socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    return UdpSocket(std::move(fd));
}

uint16_t UdpSocket::local_port() const {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool UdpSocket::send(ConstSlice<uint8_t> datagram) {
    ssize_t n;
    do {
        n = ::send(fd_.get(), datagram.data, datagram.size, 0);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(datagram.size);
}

ssize_t UdpSocket::receive(uint8_t* buffer, size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(fd_.get(), buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace kelvra::norvane::sender
