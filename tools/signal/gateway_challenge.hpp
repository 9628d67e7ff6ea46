#pragma once

// The proof a new gateway connection gives before anything it sends is believed: the server sends
// a session request, sealed with the gateway's key, for a random consumer on an address that
// serves no stream. Only a holder of the key can read the consumer id, and the gateway answers
// every request with a response that names it. An impostor sees only the sealed record.

#include <cstdint>
#include <functional>
#include <optional>

#include "kelvra/msgs/video/messgen.hpp"
#include "signal/gateway_codec.hpp"

namespace kelvra::norvane::signal_server {

class GatewayChallenge {
public:
    // Fills the bytes with randomness; false when no secure randomness was to be had.
    using Random = std::function<bool(uint8_t* bytes, size_t size)>;
    // Whether the gateway may hold a stream of (manet address, camera).
    using Taken = std::function<bool(uint32_t manet_addr, uint8_t camera)>;

    enum class Verdict { pending, proven, failed };

    // A fresh challenge; empty when the randomness failed (the connection cannot be trusted).
    static std::optional<GatewayChallenge> make(const Random& random, const Taken& taken);
    static bool secure_random(uint8_t* bytes, size_t size);

    // The session_request frame to send.
    Bytes request() const;
    // The first session_response decides: the one naming the challenge proves the key, any other
    // fails, since it could be a guess. Other frames wait, unbelieved.
    Verdict on_frame(const messgen::MessageInfo& frame);
    // True when the gateway did create a session for the challenge (the address served a stream
    // after all): it must be ended with `terminate()`.
    bool opened_session() const { return opened_session_; }
    Bytes terminate() const;

    uint32_t consumer() const { return consumer_; }
    uint32_t manet_addr() const { return manet_addr_; }
    uint8_t camera() const { return camera_; }

private:
    GatewayChallenge(uint32_t manet_addr, uint8_t camera, uint32_t consumer)
        : manet_addr_(manet_addr), camera_(camera), consumer_(consumer) {}

    uint32_t manet_addr_;
    uint8_t camera_;
    uint32_t consumer_;
    bool opened_session_ = false;
};

}  // namespace kelvra::norvane::signal_server
