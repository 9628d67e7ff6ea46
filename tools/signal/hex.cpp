#include "signal/hex.hpp"

#include <fmt/format.h>

namespace kelvra::norvane::signal_server {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<uint32_t> parse_manet_addr(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        const int digit = hex_digit(c);
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

std::optional<Key> parse_key(std::string_view text) {
    Key key{};
    if (text.size() != key.size() * 2) return std::nullopt;
    for (size_t i = 0; i < key.size(); ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        key[i] = static_cast<uint8_t>(high << 4 | low);
    }
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

std::string format_manet_addr(uint32_t addr) {
    return fmt::format("{:08X}", addr);
}

}  // namespace kelvra::norvane::signal_server
