#pragma once

// A stand-in for the signalling server, for unit tests of the client and for tests that run the
// gateway binary. Single-threaded: every call that waits polls its own sockets up to a time-out
// and returns as soon as the condition holds, so nothing depends on fixed sleeps.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "kelvra/manet/packetizer.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The message a bare frame (type, length, payload) holds.
inline messgen::MessageInfo info_of(const Bytes& frame) {
    return {frame[0], static_cast<uint32_t>(frame.size() - messgen::kFrameHeaderSize),
            frame.data() + messgen::kFrameHeaderSize};
}

// One bare frame sent by the gateway.
struct ReceivedFrame {
    uint8_t type_id = 0;
    Bytes payload;
};

class SignallingPeer {
public:
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout kDefaultTimeout{5000};

    // Listens on 127.0.0.1 on a free port; sealed records use `key16`. Throws std::system_error
    // when the listening socket cannot be set up.
    explicit SignallingPeer(const uint8_t* key16);
    SignallingPeer(const SignallingPeer&) = delete;
    SignallingPeer& operator=(const SignallingPeer&) = delete;

    uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // Header fields of the records this peer sends (0, 0, 0 by default).
    void set_addresses(uint32_t src_addr, uint32_t dst_addr, uint8_t channel = 0) {
        src_addr_ = src_addr;
        dst_addr_ = dst_addr;
        channel_ = channel;
    }

    // --- Connection ---
    // Accepts the next connection, replacing (and closing) the current one. Bytes of a frame
    // cut off with the previous connection are dropped; frames() keeps its history.
    bool accept(Timeout timeout = kDefaultTimeout);
    bool has_connection() const { return connection_.valid(); }
    // Orderly close (FIN).
    void close_connection() {
        connection_.reset();
        input_.clear();
    }
    // Abortive close (RST), as a crashed server or a broken path looks to the gateway.
    void reset_connection();
    // Stops listening: later connection attempts are refused.
    void stop_listening() { listener_.reset(); }
    // Listens again on the same port after stop_listening(); false when the port is taken.
    bool listen_again() { return listen(port_); }
    // Waits until the gateway closes its end; reads and decodes whatever arrives meanwhile.
    bool wait_for_close(Timeout timeout = kDefaultTimeout);

    // --- Records to the gateway ---
    // An envelope record (no length prefix) holding `frames`, sealed with the key / in clear.
    Bytes record(const Bytes& frames, bool sealed);
    Bytes seal(const Bytes& frames) { return record(frames, true); }
    Bytes plain(const Bytes& frames) { return record(frames, false); }
    static Bytes with_length_prefix(const Bytes& record);

    // Raw bytes on the connection (for split or malformed input). False when there is no
    // connection or the bytes could not all be written before the time-out.
    bool send_bytes(const Bytes& bytes, Timeout timeout = kDefaultTimeout);
    // `frames` (one or more concatenated frames) in one sealed / plain record.
    bool send_frames(const Bytes& frames) { return send_bytes(with_length_prefix(seal(frames))); }
    bool send_plain(const Bytes& frames) { return send_bytes(with_length_prefix(plain(frames))); }

    // --- Frame builders ---
    template <typename Message>
    static Bytes frame(const Message& message) {
        Bytes out;
        out.reserve(message.frame_size());
        message.serialize(out);
        return out;
    }
    static Bytes set_stream_frame(uint32_t manet_addr, uint8_t camera_type, bool enabled,
                                  const uint8_t* key16) {
        msgs::video::set_stream message{{}, manet_addr, enabled, camera_type, {}};
        std::copy_n(key16, sizeof(message.key), message.key);
        return frame(message);
    }
    static Bytes session_request_frame(uint32_t manet_addr, uint32_t consumer_id,
                                       uint8_t camera_type) {
        return frame(msgs::video::session_request{{}, manet_addr, consumer_id, camera_type});
    }
    static Bytes terminate_session_frame(uint32_t consumer_id, uint8_t camera_type) {
        return frame(msgs::video::terminate_session{{}, consumer_id, camera_type});
    }
    static Bytes session_msg_frame(uint32_t manet_addr, uint32_t consumer_id, uint8_t camera_type,
                                   const Bytes& peer_msg) {
        const messgen::Dynamic<uint8_t> bytes{const_cast<uint8_t*>(peer_msg.data()),
                                              static_cast<uint32_t>(peer_msg.size())};
        return frame(msgs::video::session_msg{{}, manet_addr, consumer_id, camera_type, bytes});
    }
    static Bytes sdp_frame(const std::string& sdp, const std::string& type) {
        return frame(msgs::video::sdp_message{{}, sdp.c_str(), type.c_str()});
    }
    static Bytes ice_frame(uint32_t m_line_idx, const std::string& candidate) {
        return frame(msgs::video::ice_message{{}, m_line_idx, candidate.c_str()});
    }

    // Each sends one sealed record holding the one frame.
    bool send_set_stream(uint32_t manet_addr, uint8_t camera_type, bool enabled,
                         const uint8_t* key16) {
        return send_frames(set_stream_frame(manet_addr, camera_type, enabled, key16));
    }
    bool send_session_request(uint32_t manet_addr, uint32_t consumer_id, uint8_t camera_type) {
        return send_frames(session_request_frame(manet_addr, consumer_id, camera_type));
    }
    bool send_terminate_session(uint32_t consumer_id, uint8_t camera_type) {
        return send_frames(terminate_session_frame(consumer_id, camera_type));
    }
    bool send_session_msg(uint32_t manet_addr, uint32_t consumer_id, uint8_t camera_type,
                          const Bytes& peer_msg) {
        return send_frames(session_msg_frame(manet_addr, consumer_id, camera_type, peer_msg));
    }

    // --- Frames from the gateway ---
    // Waits up to `timeout` for input, then reads and decodes everything available. Returns the
    // number of new frames.
    size_t poll_input(Timeout timeout);
    // The payload of the oldest frame of `type_id` not yet returned by wait_for_frame/wait_for,
    // waiting up to `timeout` for one to arrive.
    std::optional<Bytes> wait_for_frame(uint8_t type_id, Timeout timeout = kDefaultTimeout);
    // Same, parsed as `Message` (for example msgs::video::stream_state). Strings and arrays of
    // the result live in the peer's arena until the next call.
    template <typename Message>
    std::optional<Message> wait_for(Timeout timeout = kDefaultTimeout) {
        const auto payload = wait_for_frame(Message::TYPE, timeout);
        if (!payload) return std::nullopt;
        last_parsed_ = *payload;
        arena_.reset();
        Message message;
        const messgen::MessageInfo info{Message::TYPE, static_cast<uint32_t>(last_parsed_.size()),
                                        last_parsed_.data()};
        if (message.parse(info, arena_) < 0) return std::nullopt;
        return message;
    }
    // Every frame received so far, in order, over all connections.
    const std::vector<ReceivedFrame>& frames() const { return frames_; }
    size_t count(uint8_t type_id) const {
        return std::count_if(frames_.begin(), frames_.end(),
                             [&](const ReceivedFrame& f) { return f.type_id == type_id; });
    }
    void clear_frames() {
        frames_.clear();
        taken_.clear();
    }
    // Bytes received after the last complete frame.
    size_t pending_bytes() const { return input_.size(); }

private:
    bool listen(uint16_t port);
    bool read_available();
    void decode_frames();

    UniqueFd listener_;
    UniqueFd connection_;
    uint16_t port_ = 0;
    bool peer_closed_ = false;

    uint32_t src_addr_ = 0;
    uint32_t dst_addr_ = 0;
    uint8_t channel_ = 0;
    Bytes plaintext_storage_;
    Slice<uint8_t> plaintext_;
    manet::Packetizer packetizer_;

    Bytes input_;
    std::vector<ReceivedFrame> frames_;
    std::vector<bool> taken_;
    Bytes last_parsed_;
    messgen::OwnedArena arena_{65536};
};

}  // namespace kelvra::testing
