#pragma once

#include <cstdint>

namespace kelvra::manet {

// Identity of a manet node: its address and the AES-128 key of its envelope.
struct ManetConfig {
    uint32_t addr = 0;
    uint8_t key[16] = {};
};

}  // namespace kelvra::manet
