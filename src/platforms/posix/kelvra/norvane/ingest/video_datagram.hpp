#pragma once

// Layout of the encrypted video datagram a sender delivers:
//   [0..4)   manet address (clear)      [4]       camera type (clear)
//   [5..17)  control IV                 [17..43)  control ciphertext (26)   [43..55) control tag
//   [55..67) payload IV                 [67..N-12) payload ciphertext       [N-12..N) payload tag
// The plaintext is the two sections back to back: a 40-byte header area of message frames
// (`control_data` and `video_fragment_info`), then the fragment's bytes.

#include <cstddef>
#include <cstdint>

#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

constexpr size_t kMaxDatagramSize = 1500;
constexpr size_t kMinDatagramSize = 93;
constexpr size_t kControlIvOffset = 5;
constexpr size_t kControlCipherOffset = 17;
constexpr size_t kControlSectionSize = 26;
constexpr size_t kControlTagOffset = 43;
constexpr size_t kPayloadIvOffset = 55;
constexpr size_t kPayloadCipherOffset = 67;
constexpr size_t kHeaderAreaSize = 40;

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
