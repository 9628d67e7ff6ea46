#pragma once

// Test side of the sealed video datagram: decrypts both sections independently of the sealer and
// hands back the clear header, the two header frames and the fragment.

#include <cstdint>
#include <optional>
#include <vector>

#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender::testing {

struct OpenedDatagram {
    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
    msgs::video::control_data control;
    msgs::video::video_fragment_info info;
    std::vector<uint8_t> fragment;
};

inline std::optional<OpenedDatagram> open_datagram(const std::vector<uint8_t>& d,
                                                   const uint8_t* key) {
    if (d.size() < 93) return std::nullopt;
    manet::AesGcm gcm;
    if (!gcm.set_key(key)) return std::nullopt;
    OpenedDatagram out;
    out.manet_addr = messgen::load_le<uint32_t>(d.data());
    out.camera_type = d[4];
    std::vector<uint8_t> plain(26 + d.size() - 79);
    if (!gcm.decrypt(plain.data(), d.data() + 17, 26, d.data() + 5, d.data() + 43) ||
        !gcm.decrypt(plain.data() + 26, d.data() + 67, d.size() - 79, d.data() + 55,
                     d.data() + d.size() - 12))
        return std::nullopt;
    messgen::Arena arena(nullptr, 0);
    if (out.control.parse({plain[0], messgen::load_le<uint32_t>(&plain[1]), &plain[5]}, arena) <
            0 ||
        out.info.parse({plain[26], messgen::load_le<uint32_t>(&plain[27]), &plain[31]}, arena) < 0)
        return std::nullopt;
    out.fragment.assign(plain.begin() + 40, plain.end());
    return out;
}

// A `video_retransmit_request` for fragment `frag` of frame `seq`, as the gateway sends it.
inline std::vector<uint8_t> request_datagram(uint32_t seq, uint32_t frag) {
    std::vector<uint8_t> d = {12, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    messgen::store_le(d.data() + 5, seq);
    messgen::store_le(d.data() + 9, frag);
    return d;
}

}  // namespace kelvra::norvane::sender::testing
