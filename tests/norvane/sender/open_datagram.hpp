#pragma once

// Test side of the sealed video datagram: opens it with the datagram codec, as the gateway
// does, and hands back the clear header, the two header records and the fragment.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram_codec.hpp"
#include "support/video_datagram_builder.hpp"

namespace kelvra::norvane::sender::testing {

using kelvra::testing::request_datagram;

struct OpenedDatagram {
    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
    msgs::video::control_data control;
    msgs::video::video_fragment_info info;
    std::vector<uint8_t> fragment;
};

inline std::optional<OpenedDatagram> open_datagram(const std::vector<uint8_t>& d,
                                                   const uint8_t* key) {
    namespace video = msgs::video;
    const ConstSlice<uint8_t> datagram{d.data(), d.size()};
    const auto address = video::read_datagram_address(datagram);
    manet::AesGcm gcm;
    if (!address || !gcm.set_key(key)) return std::nullopt;
    std::vector<uint8_t> opened = d;
    ConstSlice<uint8_t> plain{};
    if (video::open_video_datagram({opened.data(), opened.size()}, gcm, plain) !=
        video::DecryptResult::kOk)
        return std::nullopt;
    const video::DatagramHeader header = video::parse_header_area(plain);
    if (!header.has_control || !header.has_fragment_info) return std::nullopt;
    return OpenedDatagram{address->manet_addr, address->camera_type, header.control,
                          header.fragment_info,
                          std::vector<uint8_t>(header.fragment.begin(), header.fragment.end())};
}

}  // namespace kelvra::norvane::sender::testing
