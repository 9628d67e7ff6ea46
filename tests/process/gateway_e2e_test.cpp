// The gateway binary end to end over loopback: a test signalling server announces streams, the
// sender simulator plays a drone, and the gateway's log, its answers and its files are checked.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>

#include "kelvra/msgs/video/messages.hpp"
#include "support/gateway_process.hpp"
#include "support/process_runner.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using msgs::video::stream_state;
using testing::GatewayConfig;
using testing::GatewayProcess;
using testing::SignallingPeer;

constexpr const auto& kManetKey = testing::kTestManetKey;
constexpr const auto& kStreamKey = testing::kTestStreamKey;
constexpr const char* kStreamKeyHex = testing::kTestStreamKeyHex;
constexpr uint32_t kManet = testing::kTestManet;
constexpr uint8_t kCamera = testing::kTestCamera;
const char* kReleasedFrame = "Norvane::send_new_frames got detections";

class GatewayEndToEnd : public ::testing::Test {
protected:
    // Starts the gateway and announces the stream the sender plays.
    void start(GatewayConfig config = {}) {
        config.signalling_port = peer.port();
        gateway = std::make_unique<GatewayProcess>(config);
        ASSERT_TRUE(peer.accept(5s)) << gateway->log();
        ASSERT_TRUE(peer.send_set_stream(kManet, kCamera, true, kStreamKey));
        ASSERT_TRUE(
            gateway->wait_for_log("Add new stream with manet address beef and camera 1", 5s))
            << gateway->log();
    }

    std::vector<std::string> sender_args(int frames, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--gateway",    gateway->gateway_address(),
                                         "--manet-addr", "0000BEEF",
                                         "--camera",     "1",
                                         "--key",        kStreamKeyHex,
                                         "--frames",     std::to_string(frames),
                                         "--fps",        "60",
                                         "--linger-ms",  "600"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // The first of the next `tries` state reports that is `wanted`.
    template <typename Wanted>
    std::optional<stream_state> report_where(Wanted wanted, int tries = 20) {
        for (int i = 0; i < tries; ++i) {
            const auto state = peer.wait_for<stream_state>(2s);
            if (!state || wanted(*state)) return state;
        }
        return std::nullopt;
    }

    SignallingPeer peer{kManetKey};
    std::unique_ptr<GatewayProcess> gateway;
};

TEST_F(GatewayEndToEnd, AnnouncedStreamIsReassembledAnsweredAndReported) {
    start();
    const auto run = testing::run_sender(sender_args(60, {"--detections", "2"}));
    ASSERT_TRUE(run.status && run.status->exited_with(0)) << run.out << run.err;
    // One video_stats per accepted datagram, and every frame released.
    EXPECT_EQ(run.summary.at("stats"), run.summary.at("datagrams"));
    EXPECT_EQ(run.summary.at("requests"), 0u);
    EXPECT_TRUE(gateway->wait_for_log(std::string(kReleasedFrame) + " 2", 3s, 60))
        << gateway->log();

    // The state report names the stream and tells that video is flowing.
    const auto state = report_where([](const stream_state& s) { return s.video_available; });
    ASSERT_TRUE(state);
    EXPECT_EQ(state->manet_addr, kManet);
    EXPECT_EQ(state->camera_type, kCamera);
    EXPECT_EQ(state->broken_frames + state->lost_frames, 0u);
    EXPECT_EQ(state->min_roundtrip, 50'000u);
    EXPECT_GT(state->bitrate_est, 0u);
    EXPECT_TRUE(gateway->stop()->exited_with(0));
}

TEST_F(GatewayEndToEnd, LossyLinkStillReleasesNearlyEveryFrame) {
    start();
    // 10 % loss, 50 ms round trip, one keyframe followed by delta frames. Frames span several
    // fragments, as real video does: a frame all of whose fragments are lost is invisible.
    const auto run = testing::run_sender(sender_args(
        180, {"--width",      "640",    "--height",     "480",        "--bitrate-kbps",
              "2500",         "--loss", "0.1",          "--delay-ms", "25",
              "--min-rtt-us", "50000",  "--max-rtt-us", "100000",     "--keyframe-interval",
              "100000",       "--fps",  "30",           "--seed",     "7"}));
    ASSERT_TRUE(run.status && run.status->exited_with(0)) << run.out << run.err;
    EXPECT_GT(run.summary.at("dropped"), 0u);
    EXPECT_GT(run.summary.at("requests"), 0u);
    EXPECT_GT(run.summary.at("resends"), 0u);
    gateway->wait_for_log(kReleasedFrame, 2s, 180);
    const size_t released = gateway->count(kReleasedFrame);
    EXPECT_GE(released * 100, 180u * 99) << "released " << released << " of 180\n" << run.out;
    EXPECT_LE(released, 180u);

    // The latest state report counts the requests the sender received.
    const auto state = report_where([&](const stream_state& s) {
        return s.retransmissions_number == run.summary.at("requests");
    });
    ASSERT_TRUE(state);
    EXPECT_EQ(state->min_roundtrip, 50'000u);
    EXPECT_EQ(state->max_roundtrip, 100'000u);
    EXPECT_EQ(state->video_available, 1);
}

// Loss both ways, requests and resends included, through the loss relay; the budget rules ask
// as soon as a fragment is missing and again after each round trip, so nearly every frame
// arrives, and frames still leave in order.
TEST_F(GatewayEndToEnd, LatencyBudgetRecoversLossBothWaysAndKeepsTheOrder) {
    GatewayConfig config;
    config.log_level = 0;  // every released frame is logged with its number
    config.extra_json = R"("latency_ms": 400)";
    start(config);
    const uint16_t relay_port = testing::free_udp_port();
    const std::string relay_binary = std::string(NORVANE_LOSSRELAY_BINARY);
    testing::ProcessRunner relay(
        relay_binary, {"--listen", "127.0.0.1:" + std::to_string(relay_port), "--gateway",
                       gateway->gateway_address(), "--loss-up", "0.1", "--loss-down", "0.1",
                       "--delay-ms", "25", "--seed", "3"});
    ASSERT_TRUE(relay.wait_for_output("relaying", 5s)) << relay.err();
    constexpr size_t kFrames = 150;
    std::vector<std::string> args =
        sender_args(kFrames, {"--width", "640", "--height", "480", "--bitrate-kbps", "2500",
                              "--keyframe-interval", "30", "--fps", "30"});
    args[1] = "127.0.0.1:" + std::to_string(relay_port);
    const auto run = testing::run_sender(args);
    ASSERT_TRUE(run.status && run.status->exited_with(0)) << run.out << run.err;
    EXPECT_GT(run.summary.at("requests"), 0u);
    gateway->wait_for_log(kReleasedFrame, 2s, kFrames);
    relay.send_signal(SIGTERM);
    relay.wait(5s);

    const std::string log = gateway->log();
    const std::regex released_frame("Send new frame: size=\\d+, seq=(\\d+)");
    std::vector<uint32_t> order;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), released_frame);
         it != std::sregex_iterator(); ++it) {
        order.push_back(static_cast<uint32_t>(std::stoul((*it)[1])));
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) &&
                std::adjacent_find(order.begin(), order.end()) == order.end());
    EXPECT_LE(order.size(), kFrames);
    EXPECT_GE(order.size() * 100, kFrames * 97) << "released " << order.size() << "\n" << run.out;
}

// How records are split, sealed and framed is the signalling client's unit test; here, what the
// gateway makes of messages it cannot use or answer.
TEST_F(GatewayEndToEnd, MalformedSignallingInputIsDroppedAndTheRestStillDelivered) {
    start();
    // Clear records are taken unless the configuration asks for encryption.
    ASSERT_TRUE(peer.send_plain(SignallingPeer::set_stream_frame(2, 1, true, kStreamKey)));
    ASSERT_TRUE(gateway->wait_for_log("Add new stream with manet address 2 and camera 1", 5s));
    // Stray bytes after the frames, an unexpected message type, a short payload.
    auto frames = SignallingPeer::set_stream_frame(3, 1, true, kStreamKey);
    frames.insert(frames.end(), {7, 7, 7});
    ASSERT_TRUE(peer.send_frames(frames));
    ASSERT_TRUE(gateway->wait_for_log("ERROR: parsed bytes 27 != packet payload size 30", 5s));
    ASSERT_TRUE(peer.send_frames(SignallingPeer::frame(stream_state{})));
    ASSERT_TRUE(gateway->wait_for_log("Got unexpected message type: 14", 5s));
    ASSERT_TRUE(peer.send_frames({9, 4, 0, 0, 0, 1, 2, 3, 4}));
    ASSERT_TRUE(gateway->wait_for_log("Failed to parse session terminate request!", 5s));
    ASSERT_TRUE(peer.send_frames({15, 21, 0,  0,  0,  1,  2,  3,  4,  5,  6,  7,  8,
                                  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}));
    ASSERT_TRUE(gateway->wait_for_log("Failed to parse set stream message!", 5s));

    // A session for a stream the gateway does not know is refused.
    ASSERT_TRUE(peer.send_session_request(0x1234, 77, kCamera));
    const auto response = peer.wait_for<msgs::video::session_response>(5s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->manet_addr, 0x1234u);
    EXPECT_EQ(response->consumer_id, 77u);
    EXPECT_EQ(response->result, -1);
    EXPECT_STREQ(response->status, "No stream found");
    EXPECT_EQ(response->frame_size(), 34u);

    // Duplicates and unknown streams are answered as warnings, and the stream still works.
    ASSERT_TRUE(peer.send_set_stream(kManet, kCamera, true, kStreamKey));
    ASSERT_TRUE(gateway->wait_for_log(
        "Video stream with manet address beef and camera 1 already exists", 5s));
    ASSERT_TRUE(peer.send_set_stream(5, kCamera, false, kStreamKey));
    ASSERT_TRUE(
        gateway->wait_for_log("Video stream with manet address 5 and camera 1 does not exist", 5s));
    const auto run = testing::run_sender(sender_args(5, {"--linger-ms", "300"}));
    EXPECT_EQ(run.summary.at("stats"), run.summary.at("datagrams"));
    EXPECT_TRUE(gateway->stop()->exited_with(0));
}

TEST_F(GatewayEndToEnd, ReportsComeEachSecondAndTheStreamsOutliveTheServerGoingAway) {
    start();
    ASSERT_TRUE(peer.wait_for<stream_state>(3s));
    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(peer.wait_for<stream_state>(3s));
    const auto elapsed = std::chrono::steady_clock::now() - first;
    EXPECT_GT(elapsed, 1800ms);
    EXPECT_LT(elapsed, 2600ms);
    peer.close_connection();
    const auto closed_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(gateway->wait_for_log("Signalling socket is closed by remote peer", 5s));
    ASSERT_TRUE(peer.accept(5s));
    const auto gap = std::chrono::steady_clock::now() - closed_at;
    EXPECT_GT(gap, 900ms);
    EXPECT_LT(gap, 2500ms);
    peer.clear_frames();
    // The stream is still known on the new connection without being announced again.
    const auto state = peer.wait_for<stream_state>(3s);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->manet_addr, kManet);
    EXPECT_EQ(state->video_available, 0);  // nothing was ever received
    EXPECT_EQ(state->lost_frames + state->retransmissions_number + state->duplicates_number, 0u);
    const auto run = testing::run_sender(sender_args(5, {"--linger-ms", "300"}));
    EXPECT_EQ(run.summary.at("stats"), run.summary.at("datagrams"));
}

}  // namespace
}  // namespace kelvra
