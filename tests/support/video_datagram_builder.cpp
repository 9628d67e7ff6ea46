#include "support/video_datagram_builder.hpp"

#include "kelvra/msgs/video/video_datagram_codec.hpp"

namespace kelvra::testing {

namespace {

using msgs::video::DatagramIvs;
using msgs::video::kMaxDatagramSize;

DatagramIvs next_ivs() {
    static uint32_t counter = 0;
    DatagramIvs ivs;
    for (uint32_t i = 0; i < ivs.control.size(); ++i) {
        ivs.control[i] = static_cast<uint8_t>(counter + i);
        ivs.payload[i] = static_cast<uint8_t>(counter * 3 + i);
    }
    ++counter;
    return ivs;
}

// Runs one of the codec's sealers over a datagram-sized buffer; empty when it refused.
template <typename Seal>
std::vector<uint8_t> sealed(const uint8_t* key, Seal seal) {
    manet::AesGcm cipher;
    std::vector<uint8_t> d(kMaxDatagramSize);
    Slice<uint8_t> out{d.data(), 0, d.size()};
    if (cipher.set_key(key)) seal(cipher, out);
    d.resize(out.size);
    return d;
}

}  // namespace

std::vector<uint8_t> seal_video_datagram(uint32_t manet_addr, uint8_t camera_type,
                                         const uint8_t* key,
                                         const msgs::video::control_data& control,
                                         const msgs::video::video_fragment_info& info,
                                         const std::vector<uint8_t>& fragment) {
    return sealed(key, [&](manet::AesGcm& cipher, Slice<uint8_t>& out) {
        msgs::video::seal_video_datagram({manet_addr, camera_type}, control, info,
                                         {fragment.data(), fragment.size()}, next_ivs(), cipher,
                                         out);
    });
}

std::vector<uint8_t> seal_video_plaintext(uint32_t manet_addr, uint8_t camera_type,
                                          const uint8_t* key, const std::vector<uint8_t>& clear) {
    return sealed(key, [&](manet::AesGcm& cipher, Slice<uint8_t>& out) {
        msgs::video::seal_video_plaintext({manet_addr, camera_type}, {clear.data(), clear.size()},
                                          next_ivs(), cipher, out);
    });
}

std::vector<uint8_t> request_datagram(uint32_t frame, uint32_t fragment) {
    std::vector<uint8_t> d = {12, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    messgen::store_le(d.data() + 5, frame);
    messgen::store_le(d.data() + 9, fragment);
    return d;
}

}  // namespace kelvra::testing
