#pragma once

// The viewer side of the signalling server for tests: negotiation messages that session
// children send through the gateway reach the test viewer of their consumer, and the viewers'
// answers and candidates go back inside session_msg, as a real server relays them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "support/signalling_peer.hpp"
#include "support/webrtc_viewer.hpp"

namespace kelvra::testing {

class SessionRelay {
public:
    using Timeout = std::chrono::milliseconds;

    SessionRelay(SignallingPeer& peer, uint32_t manet_addr, uint8_t camera_type)
        : peer_(peer), manet_addr_(manet_addr), camera_type_(camera_type) {}

    // Messages for `consumer_id` go to `viewer` from now on (replacing an earlier viewer).
    void attach(uint32_t consumer_id, WebrtcViewer& viewer);
    void detach(uint32_t consumer_id) { routes_.erase(consumer_id); }

    // Relays in both directions until `done()` holds; false after `timeout`.
    bool run_until(const std::function<bool()>& done, Timeout timeout);
    // Relays whatever is pending for about `duration`.
    void run_for(Timeout duration) {
        run_until([] { return false; }, duration);
    }

    // Offers and candidates seen from each consumer's child so far.
    size_t offers(uint32_t consumer_id) const { return counts(consumer_id).offers; }
    size_t candidates(uint32_t consumer_id) const { return counts(consumer_id).candidates; }
    // Time at which the latest offer of `consumer_id` reached the relay.
    std::chrono::steady_clock::time_point last_offer_at(uint32_t consumer_id) const {
        return counts(consumer_id).last_offer_at;
    }

private:
    struct Counts {
        size_t offers = 0;
        size_t candidates = 0;
        std::chrono::steady_clock::time_point last_offer_at;
    };

    const Counts& counts(uint32_t consumer_id) const {
        static const Counts none;
        const auto found = counts_.find(consumer_id);
        return found == counts_.end() ? none : found->second;
    }
    void deliver_to_viewer(const Bytes& session_msg_payload);

    SignallingPeer& peer_;
    uint32_t manet_addr_;
    uint8_t camera_type_;
    std::map<uint32_t, WebrtcViewer*> routes_;
    std::map<uint32_t, Counts> counts_;
    messgen::OwnedArena arena_{1 << 16};
};

}  // namespace kelvra::testing
