#pragma once

// Opening of the encrypted video datagram (layout in kelvra/msgs/video/video_datagram.hpp).

#include <cstddef>
#include <cstdint>

#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

using msgs::video::kControlCipherOffset;
using msgs::video::kControlFrameSize;
using msgs::video::kControlIvOffset;
using msgs::video::kControlTagOffset;
using msgs::video::kHeaderAreaSize;
using msgs::video::kMaxDatagramSize;
using msgs::video::kMinDatagramSize;
using msgs::video::kPayloadCipherOffset;
using msgs::video::kPayloadIvOffset;

struct DatagramAddress {
    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
};

// Reads the clear part; the caller has checked the length against kMinDatagramSize.
DatagramAddress read_datagram_address(const uint8_t* datagram);

// Authenticates and decrypts both sections into `plaintext` after its current size.
// Logs "Failed to decrypt control data" for the control section only.
bool decrypt_video_datagram(ConstSlice<uint8_t> datagram, manet::AesGcm& cipher,
                            Slice<uint8_t>& plaintext, spdlog::logger& log);

// The two records of the header area, each present only when a long-enough frame carried it.
struct DatagramHeader {
    bool has_fragment_info = false;
    bool has_control = false;
    msgs::video::video_fragment_info fragment_info;
    msgs::video::control_data control;
    size_t consumed = 0;  // bytes covered by the frames walked
};

// Walks the 40-byte header area frame by frame; a later frame of a kind replaces an earlier one.
DatagramHeader parse_header_area(const uint8_t* header, spdlog::logger& log);

}  // namespace kelvra::norvane
