#pragma once

// An IPv4 address and port as given on the command line ("127.0.0.1:30000").

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::norvane::lossrelay {

struct Endpoint {
    in_addr address{};
    uint16_t port = 0;

    sockaddr_in sockaddr() const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = address;
        a.sin_port = htons(port);
        return a;
    }
    std::string text() const {
        char host[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, host, sizeof(host));
        return std::string(host) + ":" + std::to_string(port);
    }
};

// "host:port" with a dotted IPv4 host (or "localhost") and a port of 1..65535; `allow_any_port`
// also accepts port 0, which lets the system choose.
inline std::optional<Endpoint> parse_endpoint(std::string_view text, bool allow_any_port = false) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size())
        return std::nullopt;
    std::string host(text.substr(0, colon));
    const std::string_view port_text = text.substr(colon + 1);
    if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long port = std::stoul(std::string(port_text));
    if (port > 65535 || (port == 0 && !allow_any_port)) return std::nullopt;
    if (host == "localhost") host = "127.0.0.1";
    Endpoint e;
    if (inet_pton(AF_INET, host.c_str(), &e.address) != 1) return std::nullopt;
    e.port = static_cast<uint16_t>(port);
    return e;
}

}  // namespace kelvra::norvane::lossrelay
