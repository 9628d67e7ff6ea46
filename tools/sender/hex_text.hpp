#pragma once

// Hexadecimal command-line values: the stream key and the manet address.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kelvra/manet/aes_gcm.hpp"

namespace kelvra::norvane::sender {

using StreamKey = std::array<uint8_t, manet::kAesKeySize>;

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline std::string_view strip_hex_prefix(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    return text;
}

// Exactly 32 hex digits.
inline std::optional<StreamKey> parse_key(std::string_view text) {
    text = strip_hex_prefix(text);
    if (text.size() != 2 * manet::kAesKeySize) return std::nullopt;
    StreamKey key{};
    for (size_t i = 0; i < key.size(); ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return key;
}

// One to eight hex digits, optionally prefixed with 0x.
inline std::optional<uint32_t> parse_manet_addr(std::string_view text) {
    text = strip_hex_prefix(text);
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return value;
}

}  // namespace kelvra::norvane::sender
