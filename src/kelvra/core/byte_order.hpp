#pragma once

// Little-endian fields of wire formats, read and written at unaligned positions.

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kelvra {

template <typename T>
inline T load_le(const uint8_t* p) {
    static_assert(std::is_integral_v<T> || std::is_floating_point_v<T>);
    T value;
    std::memcpy(&value, p, sizeof(T));  // host is little-endian (x86_64, arm64)
    return value;
}

template <typename T>
inline void store_le(uint8_t* p, T value) {
    std::memcpy(p, &value, sizeof(T));
}

}  // namespace kelvra
