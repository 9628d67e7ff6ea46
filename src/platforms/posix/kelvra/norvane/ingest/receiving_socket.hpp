#pragma once

#include <cstdint>
#include <string>

#include "kelvra/core/unique_fd.hpp"

namespace kelvra::norvane {

// Opens the IPv4 datagram socket on which video arrives and binds it to `listen_ip`:`port`
// (`listen_ip` in dotted form; "0.0.0.0" for every interface). On failure logs the reason at
// critical level and returns an empty descriptor.
UniqueFd open_receiving_socket(const std::string& listen_ip, uint16_t port);

// Asks for a receive buffer of `requested` bytes on `socket`, beyond the system limit where
// the process is allowed to, and logs what the kernel granted: at info, and with a warning
// saying how to raise the limit when it is less than asked. Returns the size the kernel
// reports, which on Linux is twice the payload it grants.
uint64_t apply_receive_buffer(int socket, uint64_t requested);

}  // namespace kelvra::norvane
