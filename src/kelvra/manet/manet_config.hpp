#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::manet {

// Identity of a manet node: its address and the AES-128 key of its envelope.
struct ManetConfig {
    uint32_t addr = 0;
    uint8_t key[16] = {};
};

// Reads one to eight hexadecimal digits (an optional "0x" prefix allowed) into an address.
std::optional<uint32_t> parse_hex_addr(std::string_view text);

// Reads exactly 32 hexadecimal digits, either case, into a key; false (key unspecified) when the
// text is anything else.
bool parse_hex_key(std::string_view text, uint8_t (&key)[16]);

// Reads a node description: an "ADDR" line with an 8-digit hexadecimal address and a "KEY" line
// with a 32-digit hexadecimal key, keyword and value separated by blanks or '='. Empty lines and
// lines starting with '#' are skipped. Empty when the file cannot be read or either line is
// missing or malformed.
std::optional<ManetConfig> load_manet_config(const std::string& path);

}  // namespace kelvra::manet
