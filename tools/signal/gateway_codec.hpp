#pragma once

// Both directions of a gateway connection: records to the gateway are a little-endian uint32
// length and an envelope sealed with the gateway's key; frames from the gateway come bare.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/manet/packetizer.hpp"
#include "kelvra/msgs/video/messgen.hpp"
#include "signal/hex.hpp"

namespace kelvra::norvane::signal_server {

using Bytes = std::vector<uint8_t>;

class RecordSealer {
public:
    // The gateway opens a record into a buffer of this size; anything larger is lost there.
    static constexpr size_t kMaxFramesSize = 8192;

    RecordSealer(const Key& key, uint32_t dst_addr);
    RecordSealer(const RecordSealer&) = delete;
    RecordSealer& operator=(const RecordSealer&) = delete;

    // Length prefix and sealed envelope holding `frames`; empty when they are too large for the
    // gateway or sealing failed.
    std::optional<Bytes> seal(const Bytes& frames);

private:
    uint32_t dst_addr_;
    Bytes unused_plaintext_;
    Slice<uint8_t> plaintext_;
    manet::Packetizer packetizer_;
};

// Cuts the byte stream from a gateway into frames. A frame announcing more than the bound means
// the stream is out of step (or hostile): the connection must go.
class FrameReader {
public:
    static constexpr size_t kMaxFrameSize = 1 << 20;
    using OnFrame = std::function<void(const messgen::MessageInfo&)>;

    // Hands every complete frame to `on_frame`; false when a frame exceeds the bound.
    bool feed(const uint8_t* data, size_t size, const OnFrame& on_frame);
    void clear() { buffer_.clear(); }
    size_t pending() const { return buffer_.size(); }

private:
    Bytes buffer_;
};

}  // namespace kelvra::norvane::signal_server
