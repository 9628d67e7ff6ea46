#pragma once

#include <cstdint>

namespace kelvra::norvane {

// Key of the stream map: camera type in bits 32..39, manet address in the low 32 bits.
constexpr uint64_t stream_key(uint32_t manet_addr, uint8_t camera_type) {
    return (uint64_t{camera_type} << 32) | manet_addr;
}

}  // namespace kelvra::norvane
