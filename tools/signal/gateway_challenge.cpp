#include "signal/gateway_challenge.hpp"

#include <openssl/rand.h>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"

namespace kelvra::norvane::signal_server {

namespace video = msgs::video;

bool GatewayChallenge::secure_random(uint8_t* bytes, size_t size) {
    return RAND_bytes(bytes, static_cast<int>(size)) == 1;
}

std::optional<GatewayChallenge> GatewayChallenge::make(const Random& random, const Taken& taken) {
    // Camera 255 and a random address: a stream there is unlikely, and a listed one is skipped.
    constexpr uint8_t kCamera = 255;
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint8_t bytes[8];
        if (!random(bytes, sizeof(bytes))) return std::nullopt;
        const uint32_t manet_addr = messgen::load_le<uint32_t>(bytes);
        const uint32_t consumer = messgen::load_le<uint32_t>(bytes + 4);
        if (taken(manet_addr, kCamera)) continue;
        return GatewayChallenge(manet_addr, kCamera, consumer);
    }
    return std::nullopt;
}

Bytes GatewayChallenge::request() const {
    video::session_request request;
    request.manet_addr = manet_addr_;
    request.consumer_id = consumer_;
    request.camera_type = camera_;
    return frame_of(request);
}

Bytes GatewayChallenge::terminate() const {
    video::terminate_session message;
    message.consumer_id = consumer_;
    message.camera_type = camera_;
    return frame_of(message);
}

GatewayChallenge::Verdict GatewayChallenge::on_frame(const messgen::MessageInfo& frame) {
    if (frame.type_id != video::session_response::TYPE) return Verdict::pending;
    messgen::OwnedArena arena(frame.size + 64);
    video::session_response response;
    if (response.parse(frame, arena) < 0) return Verdict::failed;
    if (response.consumer_id != consumer_ || response.manet_addr != manet_addr_ ||
        response.camera_type != camera_) {
        return Verdict::failed;
    }
    opened_session_ = response.result == 0;
    return Verdict::proven;
}

}  // namespace kelvra::norvane::signal_server
