#include "signal/stream_id.hpp"

#include "signal/hex.hpp"

namespace kelvra::norvane::signal_server {

std::string StreamId::text() const {
    return gateway + "/" + format_manet_addr(manet_addr) + "/" + std::to_string(camera);
}

std::optional<StreamId> parse_stream_id(std::string_view text) {
    const size_t first = text.find('/');
    if (first == std::string_view::npos || first == 0) return std::nullopt;
    const size_t second = text.find('/', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto addr = parse_manet_addr(text.substr(first + 1, second - first - 1));
    const auto camera = parse_decimal(text.substr(second + 1), 255);
    if (!addr || !camera) return std::nullopt;
    return StreamId{std::string(text.substr(0, first)), *addr, static_cast<uint8_t>(*camera)};
}

}  // namespace kelvra::norvane::signal_server
