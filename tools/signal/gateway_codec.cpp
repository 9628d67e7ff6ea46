#include "signal/gateway_codec.hpp"

#include <algorithm>

namespace kelvra::norvane::signal_server {

RecordSealer::RecordSealer(const Key& key, uint32_t dst_addr)
    : dst_addr_(dst_addr),
      unused_plaintext_(16),
      plaintext_{unused_plaintext_.data(), 0, unused_plaintext_.size()},
      packetizer_(plaintext_) {
    packetizer_.set_key(key.data());
    packetizer_.encrypt = true;
}

std::optional<Bytes> RecordSealer::seal(const Bytes& frames) {
    if (frames.size() > kMaxFramesSize) return std::nullopt;
    Bytes out(4 + frames.size() + manet::Packetizer::kEncryptedOverhead);
    Slice<uint8_t> record{out.data() + 4, 0, out.size() - 4};
    const manet::MAPacket packet{0, dst_addr_, 0, false, {frames.data(), frames.size()}};
    if (packetizer_.serialize(packet, record) != manet::Packetizer::kOk) return std::nullopt;
    messgen::store_le<uint32_t>(out.data(), static_cast<uint32_t>(record.size));
    out.resize(4 + record.size);
    return out;
}

bool FrameReader::feed(const uint8_t* data, size_t size, const OnFrame& on_frame) {
    buffer_.insert(buffer_.end(), data, data + size);
    const auto walk =
        messgen::walk_frames_bounded(buffer_.data(), buffer_.size(), kMaxFrameSize, on_frame);
    if (walk.oversized) {
        buffer_.clear();
        return false;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(walk.consumed));
    return true;
}

}  // namespace kelvra::norvane::signal_server
