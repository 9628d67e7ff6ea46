#pragma once

// Hexadecimal command-line values: the stream key and the manet address.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kelvra/core/hex.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/manet/manet_config.hpp"

namespace kelvra::norvane::sender {

using StreamKey = std::array<uint8_t, manet::kAesKeySize>;

// Exactly 32 hex digits, optionally prefixed with 0x.
inline std::optional<StreamKey> parse_key(std::string_view text) {
    StreamKey key{};
    if (!parse_hex_bytes(strip_hex_prefix(text), key)) return std::nullopt;
    return key;
}

// One to eight hex digits, optionally prefixed with 0x.
inline std::optional<uint32_t> parse_manet_addr(std::string_view text) {
    return manet::parse_hex_addr(text);
}

}  // namespace kelvra::norvane::sender
