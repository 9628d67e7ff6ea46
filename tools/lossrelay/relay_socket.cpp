#include "relay_socket.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kelvra::norvane::lossrelay {
namespace {

// Room for a burst (a keyframe's fragments all at once) while the loop is busy elsewhere; the
// kernel caps it at its own maximum.
constexpr int kBufferBytes = 4 * 1024 * 1024;

std::optional<UniqueFd> open_socket(std::string& error) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof(kBufferBytes));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kBufferBytes, sizeof(kBufferBytes));
    return fd;
}

}  // namespace

std::optional<RelaySocket> RelaySocket::bound(const Endpoint& local, std::string& error) {
    auto fd = open_socket(error);
    if (!fd) return std::nullopt;
    const sockaddr_in addr = local.sockaddr();
    if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = "bind " + local.text() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return RelaySocket(std::move(*fd));
}

std::optional<RelaySocket> RelaySocket::connected(const Endpoint& remote, std::string& error) {
    auto fd = open_socket(error);
    if (!fd) return std::nullopt;
    const sockaddr_in addr = remote.sockaddr();
    if (::connect(fd->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = "connect " + remote.text() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return RelaySocket(std::move(*fd));
}

uint16_t RelaySocket::local_port() const {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool RelaySocket::send(std::span<const uint8_t> datagram) {
    return ::send(fd_.get(), datagram.data(), datagram.size(), 0) ==
           static_cast<ssize_t>(datagram.size());
}

bool RelaySocket::send_to(std::span<const uint8_t> datagram, const sockaddr_in& to) {
    return ::sendto(fd_.get(), datagram.data(), datagram.size(), 0,
                    reinterpret_cast<const sockaddr*>(&to),
                    sizeof(to)) == static_cast<ssize_t>(datagram.size());
}

ssize_t RelaySocket::receive(std::span<uint8_t> buffer, sockaddr_in* from) {
    sockaddr_in source{};
    socklen_t len = sizeof(source);
    const ssize_t n = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&source), &len);
    if (n >= 0 && from != nullptr) *from = source;
    return n;
}

}  // namespace kelvra::norvane::lossrelay
