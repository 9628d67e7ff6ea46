#include "support/video_datagram_builder.hpp"

#include "kelvra/manet/aes_gcm.hpp"

namespace kelvra::testing {

std::vector<uint8_t> seal_video_datagram(uint32_t manet_addr, uint8_t camera_type,
                                         const uint8_t* key,
                                         const msgs::video::control_data& control,
                                         const msgs::video::video_fragment_info& info,
                                         const std::vector<uint8_t>& fragment) {
    std::vector<uint8_t> clear;
    clear.reserve(40 + fragment.size());
    control.serialize(clear);
    info.serialize(clear);
    clear.insert(clear.end(), fragment.begin(), fragment.end());
    return seal_video_plaintext(manet_addr, camera_type, key, clear);
}

std::vector<uint8_t> seal_video_plaintext(uint32_t manet_addr, uint8_t camera_type,
                                          const uint8_t* key, const std::vector<uint8_t>& clear) {
    std::vector<uint8_t> d(5 + 12 + 26 + 12 + 12 + (clear.size() - 26) + 12);
    messgen::store_le<uint32_t>(d.data(), manet_addr);
    d[4] = camera_type;
    static uint32_t counter = 0;
    for (int i = 0; i < 12; ++i) {
        d[5 + i] = static_cast<uint8_t>(counter + i);
        d[55 + i] = static_cast<uint8_t>(counter * 3 + i);
    }
    ++counter;
    manet::AesGcm gcm;
    gcm.set_key(key);
    gcm.encrypt(d.data() + 17, clear.data(), 26, d.data() + 5, d.data() + 43);
    gcm.encrypt(d.data() + 67, clear.data() + 26, clear.size() - 26, d.data() + 55,
                d.data() + d.size() - 12);
    return d;
}

}  // namespace kelvra::testing
