#pragma once

// Viewer sessions through the real gateway: a fixture that starts the gateway against the test
// signalling server with one announced stream, runs the sender simulator as its drone and asks
// for sessions; and what a test can see of the gateway's processes from the outside.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "support/gateway_process.hpp"
#include "support/session_relay.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"
#include "support/webrtc_viewer.hpp"

namespace kelvra::testing {

// Pids of the session children the gateway has spawned, in order, from its log.
std::vector<int> spawned_children(const std::string& log);
// Whether `pid` exists and has not ended (a zombie counts as ended).
bool alive(int pid);
bool wait_until_gone(int pid, std::chrono::milliseconds timeout);
size_t open_descriptors(int pid);
// Children of `pid` with their state letter of /proc ('Z': ended but not reaped).
std::vector<std::pair<int, char>> children_of(int pid);
// Children of `pid` that have ended but were not reaped.
size_t zombies_of(int pid);

// Picture size the fixture's sender encodes.
inline constexpr int kTestWidth = 320;
inline constexpr int kTestHeight = 240;

class GatewaySessionsFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Settings of the gateway beyond the fixture's (debug log, loopback ICE).
    virtual void configure(GatewayConfig&) {}

    // A drone sending a live picture with two moving boxes on every frame, in the background.
    // `more` adds options of the sender simulator or replaces the fixture's values of them.
    void start_sender(const std::string& codec, int frames,
                      const std::vector<std::string>& more = {});
    // The gateway's answer to one session request, with the length of its frame.
    std::pair<msgs::video::session_response, size_t> request_session(uint32_t consumer_id);
    void expect_ok(uint32_t consumer_id);
    bool watch(WebrtcViewer& viewer, uint64_t frames,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

    SignallingPeer peer{kTestManetKey};
    std::unique_ptr<GatewayProcess> gateway;
    std::unique_ptr<ProcessRunner> sender;
    SessionRelay relay{peer, kTestManet, kTestCamera};
};

}  // namespace kelvra::testing
