#pragma once

// Test datagrams sealed by the datagram codec, with IVs that differ from call to call.

#include <cstdint>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::testing {

// `plaintext` is the 40-byte header area followed by the fragment's bytes; it may be laid out
// in ways a well-formed sender would not.
std::vector<uint8_t> seal_video_plaintext(uint32_t manet_addr, uint8_t camera_type,
                                          const uint8_t* key,
                                          const std::vector<uint8_t>& plaintext);

// Same, from the two header records and the fragment's bytes.
std::vector<uint8_t> seal_video_datagram(uint32_t manet_addr, uint8_t camera_type,
                                         const uint8_t* key,
                                         const msgs::video::control_data& control,
                                         const msgs::video::video_fragment_info& info,
                                         const std::vector<uint8_t>& fragment);

// A `video_retransmit_request` for fragment `fragment` of frame `frame`, as the gateway sends it.
std::vector<uint8_t> request_datagram(uint32_t frame, uint32_t fragment);

}  // namespace kelvra::testing
