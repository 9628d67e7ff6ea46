// What the gateway makes of signalling messages it cannot use, and of announcements repeated or
// withdrawn for streams it does not have: an operator's line for each, the streams untouched.

#include <gtest/gtest.h>

#include "support/gateway_harness.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra {
namespace {

using testing::Bytes;
using testing::SignallingPeer;

constexpr uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(GatewaySignalling, UnusableMessagesAreReportedAndTheStreamsOutliveTheConnection) {
    testing::GatewayHarness h;
    h.announce(0xBEEF, 1, kKey);
    const std::pair<Bytes, const char*> cases[] = {
        {SignallingPeer::frame(msgs::video::stream_state{}), "Got unexpected message type: 14"},
        {{9, 4, 0, 0, 0, 1, 2, 3, 4}, "Failed to parse session terminate request!"},
        {{15, 21, 0,  0,  0,  1,  2,  3,  4,  5,  6,  7,  8,
          9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
         "Failed to parse set stream message!"},
        {SignallingPeer::set_stream_frame(0xBEEF, 1, true, kKey),
         "Video stream with manet address beef and camera 1 already exists"},
        {SignallingPeer::set_stream_frame(5, 1, false, kKey),
         "Video stream with manet address 5 and camera 1 does not exist"},
    };
    for (const auto& [frame, line] : cases) {
        h.clear_log();
        h.gateway().on_signalling_message(
            {frame[0], messgen::load_le<uint32_t>(frame.data() + 1), frame.data() + 5});
        EXPECT_EQ(h.count_in_log(line), 1u) << h.log();
    }
    EXPECT_EQ(h.gateway().streams().size(), 1u);
    // A new connection to the signalling server needs no new announcement.
    h.gateway().on_disconnect();
    h.gateway().on_connect();
    EXPECT_EQ(h.gateway().streams().size(), 1u);
}

}  // namespace
}  // namespace kelvra
