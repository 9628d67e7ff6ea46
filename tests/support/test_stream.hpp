#pragma once

// The identities and keys that tests running the gateway binary share: the gateway's manet key
// (as GatewayConfig writes it by default) and one announced stream with its key.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

inline constexpr uint8_t kTestManetKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
inline constexpr uint8_t kTestStreamKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                               0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
inline constexpr const char* kTestStreamKeyHex = "1032547698badcfe0123456789abcdef";
inline constexpr uint32_t kTestManet = 0x0000BEEF;
inline constexpr const char* kTestManetHex = "0000BEEF";
inline constexpr uint8_t kTestCamera = 1;

// The sender simulator's command line for the stream, sending to `gateway`, then `more`.
inline std::vector<std::string> test_stream_sender_args(const std::string& gateway,
                                                        std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--gateway=" + gateway, std::string("--manet-addr=") + kTestManetHex,
                               "--camera=1", std::string("--key=") + kTestStreamKeyHex});
    return more;
}

}  // namespace kelvra::testing
