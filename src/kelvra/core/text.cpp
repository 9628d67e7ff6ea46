#include "kelvra/core/text.hpp"

#include <cstdlib>
#include <cstring>

namespace kelvra {

int split(ConstSlice<char> text, char separator, ArrayList<ConstSlice<char>>& out) {
    out.clear();
    uint64_t piece_start = 0;
    for (uint64_t i = 0; i < text.size; ++i) {
        if (text.data[i] != separator) continue;
        out.push_back(ConstSlice<char>{text.data + piece_start, i - piece_start});
        piece_start = i + 1;
    }
    const char* tail = text.data == nullptr ? nullptr : text.data + piece_start;
    out.push_back(ConstSlice<char>{tail, text.size - piece_start});
    return static_cast<int>(out.size);
}

int split_address_string(const char* text, char* host, uint64_t host_size, uint16_t& port) {
    if (text == nullptr || text[0] == '\0' || host == nullptr) return -1;
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return -1;
    const auto host_len = static_cast<uint64_t>(colon - text);
    if (host_size < 2 || host_len >= host_size - 1) return -1;
    std::memcpy(host, text, host_len);
    host[host_len] = '\0';
    port = static_cast<uint16_t>(std::strtol(colon + 1, nullptr, 10));
    return 0;
}

ConstSlice<char> slice_from_cstr(const char* text, uint64_t max_len) {
    if (text == nullptr) return {};
    const uint64_t len = strnlen(text, max_len);
    if (len >= max_len) return {};
    return ConstSlice<char>{text, len};
}

}  // namespace kelvra
