#pragma once

// Hexadecimal text: node addresses and AES keys in configuration files and on command lines.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelvra {

// Value of one hexadecimal digit, either case, or -1 for any other character.
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `text` without a leading "0x" or "0X".
constexpr std::string_view strip_hex_prefix(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    return text;
}

// One to eight digits and nothing else, most significant first.
constexpr std::optional<uint32_t> parse_hex_u32(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        const int digit = hex_digit_value(c);
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// Exactly two digits per byte of `out`, the first of each pair the high nibble; on false `out`
// holds no meaningful value.
constexpr bool parse_hex_bytes(std::string_view text, std::span<uint8_t> out) {
    if (text.size() != 2 * out.size()) return false;
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = hex_digit_value(text[2 * i]);
        const int low = hex_digit_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace kelvra
