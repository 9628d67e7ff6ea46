#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "kelvra/core/unique_fd.hpp"
#include "stream_sender.hpp"

namespace kelvra::norvane::sender {

// A non-blocking IPv4 UDP socket connected to the gateway: the kernel then delivers only the
// gateway's datagrams to it, and a gateway that is not listening shows up as send errors.
class UdpSocket final : public DatagramSink {
public:
    static std::optional<UdpSocket> connect_to(const std::string& host, uint16_t port,
                                               std::string& error);

    int fd() const { return fd_.get(); }
    uint16_t local_port() const;

    bool send(ConstSlice<uint8_t> datagram) override;
    // One datagram into `buffer`; its length, or -1 when none is waiting (or on an error).
    ssize_t receive(uint8_t* buffer, size_t capacity);

private:
    explicit UdpSocket(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace kelvra::norvane::sender
