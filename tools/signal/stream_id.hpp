#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

// A drone camera as a gateway knows it. Its text form, "gw1/0000BEEF/1", names it to viewers and
// in the HTTP API.
struct StreamId {
    std::string gateway;
    uint32_t manet_addr = 0;
    uint8_t camera = 0;

    std::string text() const;
    auto operator<=>(const StreamId&) const = default;
};

// Parses "<gateway>/<manet_addr hex>/<camera>"; the address may be written in either case.
std::optional<StreamId> parse_stream_id(std::string_view text);

}  // namespace kelvra::norvane::signal_server
