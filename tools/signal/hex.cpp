#include "signal/hex.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "kelvra/manet/manet_config.hpp"

namespace kelvra::norvane::signal_server {

std::optional<uint32_t> parse_manet_addr(std::string_view text) {
    // Operators write bare digits here; the node-file form's "0x" prefix is not accepted.
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return std::nullopt;
    }
    return manet::parse_hex_addr(text);
}

std::optional<Key> parse_key(std::string_view text) {
    uint8_t bytes[16];
    if (!manet::parse_hex_key(text, bytes)) return std::nullopt;
    Key key;
    std::copy(std::begin(bytes), std::end(bytes), key.begin());
    return key;
}

std::optional<uint32_t> parse_decimal(std::string_view text, uint32_t max) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::string format_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

std::string format_manet_addr(uint32_t addr) {
    return fmt::format("{:08X}", addr);
}

}  // namespace kelvra::norvane::signal_server
