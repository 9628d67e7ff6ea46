#include "kelvra/manet/manet_config.hpp"

#include <fstream>

#include "kelvra/core/hex.hpp"

namespace kelvra::manet {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

bool parse_hex_key(std::string_view text, uint8_t (&key)[16]) {
    return parse_hex_bytes(text, key);
}

std::optional<uint32_t> parse_hex_addr(std::string_view text) {
    return parse_hex_u32(strip_hex_prefix(text));
}

std::optional<ManetConfig> load_manet_config(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;

    ManetConfig config;
    bool have_addr = false;
    bool have_key = false;
    std::string line;
    while (std::getline(file, line)) {
        const std::string_view text = trim(line);
        if (text.empty() || text.front() == '#') continue;
        const auto split = text.find_first_of(" \t=");
        if (split == std::string_view::npos) return std::nullopt;
        const std::string_view name = text.substr(0, split);
        const std::string_view value = trim(text.substr(split + 1));
        const std::string_view bare =
            !value.empty() && value.front() == '=' ? trim(value.substr(1)) : value;
        if (name == "ADDR") {
            const auto addr = bare.size() == 8 ? parse_hex_addr(bare) : std::nullopt;
            if (!addr) return std::nullopt;
            config.addr = *addr;
            have_addr = true;
        } else if (name == "KEY") {
            if (!parse_hex_key(bare, config.key)) return std::nullopt;
            have_key = true;
        }
    }
    if (!have_addr || !have_key) return std::nullopt;
    return config;
}

}  // namespace kelvra::manet
