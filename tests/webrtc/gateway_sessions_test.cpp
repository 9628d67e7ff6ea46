// Viewer sessions through the real gateway: the test signalling server asks for sessions, the
// sender simulator plays a drone, and test viewers built on webrtcbin answer the children's
// offers, decode the video and read the detections. Video, detections and a change of codec on
// an open stream in a real browser are the viewer page's test; two viewers of one stream are the
// faults test's (a steady viewer beside the killed ones).

#include "support/gateway_sessions.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

namespace kelvra::testing {
namespace {

using namespace std::chrono_literals;
using msgs::video::session_response;
using GatewaySessions = GatewaySessionsFixture;

// The boxes of every detections text are the sender's two synthetic boxes of one frame.
void expect_detections_of_one_frame(const std::string& text) {
    static const std::regex layout(R"(\{"det":\[\{"h":32,"i":0,"t":0,"w":32,"x":\d+,"y":\d+\},)"
                                   R"(\{"h":32,"i":1,"t":1,"w":32,"x":\d+,"y":\d+\}\],"t":\d+\})");
    ASSERT_TRUE(std::regex_match(text, layout)) << text;
    const auto json = nlohmann::json::parse(text);
    const unsigned x0 = json["det"][0]["x"];
    const unsigned y0 = json["det"][0]["y"];
    EXPECT_EQ(json["det"][1]["x"].get<unsigned>(), (x0 + 37) % (kTestWidth - 32)) << text;
    EXPECT_EQ(json["det"][1]["y"].get<unsigned>(), (y0 + 53) % (kTestHeight - 32)) << text;
}

// The drone sends one keyframe only; a viewer that joins a second later still sees the picture
// at once, from the frames since that keyframe, with their detections.
TEST_F(GatewaySessions, AViewerJoiningBetweenKeyframesDecodesAtOnce) {
    start_sender("vp8", 240, {"--keyframe-interval", "1000"});
    ASSERT_TRUE(gateway->wait_for_log("Norvane::send_new_frames got detections 2", 10s, 30));
    expect_ok(7);
    WebrtcViewer viewer;
    relay.attach(7, viewer);
    ASSERT_TRUE(watch(viewer, 10)) << viewer.describe();
    EXPECT_EQ(viewer.encoding_name(), "VP8");
    EXPECT_EQ(std::make_pair(viewer.frame_width(), viewer.frame_height()),
              std::make_pair(kTestWidth, kTestHeight));
    ASSERT_TRUE(viewer.wait_for_texts(40)) << viewer.describe();
    // The replayed frames lie two RTP clock ticks apart and reach the viewer before its channel
    // opens; their boxes must still come, first and in order.
    const auto texts = viewer.texts();
    expect_detections_of_one_frame(texts.front());
    size_t replayed = 0;
    for (size_t i = 1; i < texts.size(); ++i) {
        const int64_t step = int64_t{nlohmann::json::parse(texts[i])["t"]} -
                             int64_t{nlohmann::json::parse(texts[i - 1])["t"]};
        ASSERT_GE(step, 0) << texts[i];
        if (step <= 2) ++replayed;
    }
    EXPECT_GE(replayed, 3u) << viewer.describe();

    // A stop with a live session takes the session child along, within the children's one
    // second of grace and some slack for a busy machine.
    const auto pids = spawned_children(gateway->log());
    const auto stop_at = std::chrono::steady_clock::now();
    const auto status = gateway->stop(5s);
    ASSERT_TRUE(status && status->exited_with(0));
    EXPECT_LT(std::chrono::steady_clock::now() - stop_at, 2500ms);
    for (int pid : pids) EXPECT_TRUE(wait_until_gone(pid, 1s)) << pid;
    EXPECT_EQ(gateway->count("Not all the children terminated!"), 0u);
}

// The refusal of an unknown stream is checked by the gateway's end-to-end test.
TEST_F(GatewaySessions, RequestsAreAnsweredOnceWithTheirOutcome) {
    expect_ok(5);
    const auto [again, again_length] = request_session(5);
    EXPECT_EQ(again.result, -1);
    EXPECT_STREQ(again.status, "WebrtcSession exists");
    EXPECT_EQ(again_length, 39u);
    EXPECT_EQ(gateway->count("SessionProcess already exists!"), 1u);
    EXPECT_EQ(spawned_children(gateway->log()).size(), 1u);

    // The same consumer may watch another stream.
    ASSERT_TRUE(peer.send_set_stream(0x0000CAFE, kTestCamera, true, kTestStreamKey));
    ASSERT_TRUE(peer.send_session_request(0x0000CAFE, 5, kTestCamera));
    const auto other = peer.wait_for<session_response>(5s);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->result, 0);
}

// A child killed outright is the faults test's; here the ends the gateway asks for.
TEST_F(GatewaySessions, SessionsEndOnRequestAndWithTheirStream) {
    const int gateway_pid = gateway->process().pid();
    const size_t descriptors = open_descriptors(gateway_pid);
    expect_ok(1);
    expect_ok(2);
    auto pids = spawned_children(gateway->log());
    ASSERT_EQ(pids.size(), 2u);

    // terminate_session: the child stops on SIGTERM by itself; the consumer may come back.
    ASSERT_TRUE(peer.send_terminate_session(1, kTestCamera));
    ASSERT_TRUE(wait_until_gone(pids[0], 3s));
    ASSERT_TRUE(gateway->wait_for_log("Child " + std::to_string(pids[0]) + " terminated.", 3s));
    EXPECT_EQ(gateway->count("Kill hanging child"), 0u);
    EXPECT_EQ(gateway->count("terminated itself"), 0u);
    expect_ok(1);

    // Deleting the stream ends both sessions of it.
    pids = spawned_children(gateway->log());
    ASSERT_EQ(pids.size(), 3u);
    ASSERT_TRUE(peer.send_set_stream(kTestManet, kTestCamera, false, kTestStreamKey));
    EXPECT_TRUE(wait_until_gone(pids[1], 3s));
    EXPECT_TRUE(wait_until_gone(pids[2], 3s));
    ASSERT_TRUE(peer.send_terminate_session(2, kTestCamera));
    ASSERT_TRUE(gateway->wait_for_log("SessionProcess for consumer 2 does not exists!", 3s));

    // Nothing of the three sessions is left behind in the gateway.
    EXPECT_EQ(zombies_of(gateway_pid), 0u);
    EXPECT_EQ(open_descriptors(gateway_pid), descriptors);
}

}  // namespace
}  // namespace kelvra::testing
