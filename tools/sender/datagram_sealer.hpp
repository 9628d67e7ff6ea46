#pragma once

// Seals one fragment into a video datagram (layout in kelvra/msgs/video/video_datagram.hpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "iv_source.hpp"
#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram.hpp"

namespace kelvra::norvane::sender {

using msgs::video::kClearSize;
using msgs::video::kControlCipherOffset;
using msgs::video::kControlFrameSize;
using msgs::video::kControlIvOffset;
using msgs::video::kControlTagOffset;
using msgs::video::kFragmentInfoFrameSize;
using msgs::video::kHeaderAreaSize;
using msgs::video::kMaxDatagramSize;
using msgs::video::kMaxFragmentPayload;
using msgs::video::kPayloadCipherOffset;
using msgs::video::kPayloadIvOffset;
constexpr size_t kDatagramOverhead = msgs::video::kMinDatagramSize;

struct StreamAddress {
    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
};

class DatagramSealer {
public:
    explicit DatagramSealer(IvSource& ivs) : ivs_(ivs) {}

    bool set_key(const uint8_t* key) { return gcm_.set_key(key); }

    // Writes the sealed datagram to `out` (at least `kMaxDatagramSize` bytes) and returns its
    // length: kDatagramOverhead + fragment size. Returns 0 for a fragment that does not fit a
    // datagram, or when encryption fails.
    size_t seal(StreamAddress address, const msgs::video::control_data& control,
                const msgs::video::video_fragment_info& info, ConstSlice<uint8_t> fragment,
                uint8_t* out) {
        if (fragment.size > kMaxFragmentPayload) return 0;
        Slice<uint8_t> plain{plain_.data(), 0, plain_.size()};
        if (control.serialize(plain) != static_cast<int>(kControlFrameSize)) return 0;
        if (info.serialize(plain) != static_cast<int>(kFragmentInfoFrameSize)) return 0;
        if (fragment.size != 0) std::memcpy(plain.end(), fragment.data, fragment.size);
        plain.size += fragment.size;

        messgen::store_le(out, address.manet_addr);
        out[4] = address.camera_type;
        if (!ivs_.fill(out + kControlIvOffset, manet::kGcmIvSize)) return 0;
        if (!gcm_.encrypt(out + kControlCipherOffset, plain_.data(), kControlFrameSize,
                          out + kControlIvOffset, out + kControlTagOffset))
            return 0;

        const size_t payload_size = plain.size - kControlFrameSize;
        if (!ivs_.fill(out + kPayloadIvOffset, manet::kGcmIvSize)) return 0;
        uint8_t* payload_tag = out + kPayloadCipherOffset + payload_size;
        if (!gcm_.encrypt(out + kPayloadCipherOffset, plain_.data() + kControlFrameSize,
                          payload_size, out + kPayloadIvOffset, payload_tag))
            return 0;
        return kPayloadCipherOffset + payload_size + manet::kGcmTagSize;
    }

private:
    IvSource& ivs_;
    manet::AesGcm gcm_;
    std::array<uint8_t, kMaxDatagramSize> plain_{};
};

}  // namespace kelvra::norvane::sender
