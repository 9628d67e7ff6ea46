#pragma once

// Text forms of addresses, keys and camera numbers as operators write them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

using Key = std::array<uint8_t, 16>;

// One to eight hex digits, either case.
std::optional<uint32_t> parse_manet_addr(std::string_view text);
// Exactly 32 hex digits.
std::optional<Key> parse_key(std::string_view text);
// A decimal number of at most `max`, without sign or leading blanks.
std::optional<uint32_t> parse_decimal(std::string_view text, uint32_t max);
// Two lower-case hex digits per byte: how secrets, digests and keys are stored.
std::string format_hex(std::string_view bytes);

// Eight upper-case hex digits: the form used in stream ids.
std::string format_manet_addr(uint32_t addr);

}  // namespace kelvra::norvane::signal_server
