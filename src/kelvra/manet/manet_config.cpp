#include "kelvra/manet/manet_config.hpp"

#include <fstream>

namespace kelvra::manet {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

bool parse_hex_key(std::string_view text, uint8_t (&key)[16]) {
    if (text.size() != 2 * sizeof(key)) return false;
    for (size_t i = 0; i < sizeof(key); ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        key[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::optional<uint32_t> parse_hex_addr(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t addr = 0;
    for (const char c : text) {
        const int digit = hex_digit(c);
        if (digit < 0) return std::nullopt;
        addr = addr << 4 | static_cast<uint32_t>(digit);
    }
    return addr;
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
