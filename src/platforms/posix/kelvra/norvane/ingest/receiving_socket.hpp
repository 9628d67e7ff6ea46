#pragma once

#include <cstdint>
#include <string>

#include "kelvra/core/unique_fd.hpp"

namespace kelvra::norvane {

// Opens the IPv4 datagram socket on which video arrives and binds it to `listen_ip`:`port`
// (`listen_ip` in dotted form; "0.0.0.0" for every interface). On failure logs the reason at
// critical level and returns an empty descriptor.
UniqueFd open_receiving_socket(const std::string& listen_ip, uint16_t port);

}  // namespace kelvra::norvane
