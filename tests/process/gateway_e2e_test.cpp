// The gateway binary end to end over loopback: a test signalling server announces a stream, the
// sender simulator plays the drone (through the loss relay where a scenario asks for it), and the
// gateway's log, its answers and its reports are checked. How each part handles malformed input
// is the business of their unit tests; these scenarios are what only the running programs show.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>

#include "kelvra/msgs/video/messages.hpp"
#include "support/gateway_process.hpp"
#include "support/process_runner.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"

namespace kelvra::testing {
namespace {

using namespace std::chrono_literals;
using msgs::video::stream_state;
using Args = std::vector<std::string>;

struct Scenario {
    const char* name;
    const char* config = "";  // more members of the gateway's configuration
    Args relay = {};          // the loss relay between sender and gateway, when not empty
    Args sender = {};         // after the stream's own arguments
    size_t frames = 0;
    size_t min_released_percent = 100;
    bool lossy = false;  // requests and resends expected, otherwise none
    const char* line;    // written by the gateway once per released frame
};

const Scenario kScenarios[] = {
    {.name = "every frame with its detections",
     .sender = {"--detections", "2"},
     .frames = 60,
     .line = "Norvane::send_new_frames got detections 2"},
    // Loss both ways, requests and resends included; the budget rules ask as soon as a fragment
    // is missing and again after each round trip, so nearly every frame arrives. Frames span
    // several fragments, as real video does.
    {.name = "latency budget over a lossy link",
     .config = R"("latency_ms": 400)",
     .relay = {"--loss-up", "0.1", "--loss-down", "0.1", "--delay-ms", "25", "--seed", "3"},
     .sender = {"--width", "640", "--height", "480", "--bitrate-kbps", "2500",
                "--keyframe-interval", "30", "--fps", "30"},
     .frames = 150,
     .min_released_percent = 97,
     .lossy = true,
     .line = "Norvane::send_new_frames got detections 0"},
};

TEST(GatewayEndToEnd, Scenarios) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        SignallingPeer peer(kTestManetKey);
        GatewayConfig config{
            .signalling_port = peer.port(), .log_level = 0, .extra_json = s.config};
        GatewayProcess gateway(config);
        ASSERT_TRUE(peer.accept(5s)) << gateway.log();
        ASSERT_TRUE(peer.send_set_stream(kTestManet, kTestCamera, true, kTestStreamKey));
        ASSERT_TRUE(gateway.wait_for_log("Add new stream with manet address beef and camera 1", 5s))
            << gateway.log();

        std::string target = gateway.gateway_address();
        std::unique_ptr<ProcessRunner> relay;
        if (!s.relay.empty()) {
            target = "127.0.0.1:" + std::to_string(free_udp_port());
            Args args = {"--listen", target, "--gateway", gateway.gateway_address()};
            args.insert(args.end(), s.relay.begin(), s.relay.end());
            relay = std::make_unique<ProcessRunner>(NORVANE_LOSSRELAY_BINARY, args);
            ASSERT_TRUE(relay->wait_for_output("relaying", 5s)) << relay->err();
        }
        Args args = test_stream_sender_args(
            target, {"--frames=" + std::to_string(s.frames), "--fps=60", "--linger-ms=600"});
        args.insert(args.end(), s.sender.begin(), s.sender.end());
        const SenderRun run = run_sender(args);
        ASSERT_TRUE(run.ok()) << run.out << run.err;
        if (!s.lossy) {
            EXPECT_EQ(run.summary.at("stats"), run.summary.at("datagrams"));
        }
        EXPECT_EQ(run.summary.at("requests") > 0, s.lossy) << run.out;
        EXPECT_EQ(run.summary.at("resends") > 0, s.lossy) << run.out;

        // Frames leave in order, each once, and no more than were sent.
        gateway.wait_for_log(s.line, 2s, s.frames * s.min_released_percent / 100);
        std::vector<uint32_t> order;
        for (const auto& seq : log_matches(gateway.log(), "Send new frame: size=\\d+, seq=(\\d+)"))
            order.push_back(static_cast<uint32_t>(std::stoul(seq)));
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) &&
                    std::adjacent_find(order.begin(), order.end()) == order.end());
        EXPECT_LE(order.size(), s.frames);
        EXPECT_GE(order.size() * 100, s.frames * s.min_released_percent) << run.out;
        EXPECT_EQ(gateway.count(s.line), order.size());

        // A state report names the stream, tells that video flows and counts the requests (some
        // may have been lost on their way to the sender).
        std::optional<stream_state> state;
        for (int i = 0; i < 20 && !state; ++i) {
            state = peer.wait_for<stream_state>(2s);
            if (!state) break;
            if (!state->video_available ||
                state->retransmissions_number < run.summary.at("requests"))
                state.reset();
        }
        ASSERT_TRUE(state);
        EXPECT_EQ(state->manet_addr, kTestManet);
        EXPECT_EQ(state->camera_type, kTestCamera);
        EXPECT_EQ(state->min_roundtrip, 50'000u);
        EXPECT_GT(state->bitrate_est, 0u);
        if (!s.lossy) {
            EXPECT_EQ(state->broken_frames + state->lost_frames, 0u);
        }

        // A viewer asking for a stream the gateway does not know is refused.
        ASSERT_TRUE(peer.send_session_request(0x1234, 77, kTestCamera));
        const auto response = peer.wait_for<msgs::video::session_response>(5s);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->manet_addr, 0x1234u);
        EXPECT_EQ(response->consumer_id, 77u);
        EXPECT_EQ(response->result, -1);
        EXPECT_STREQ(response->status, "No stream found");
        EXPECT_EQ(response->frame_size(), 34u);
        EXPECT_TRUE(gateway.stop()->exited_with(0));

        if (relay) {
            relay->send_signal(SIGTERM);
            const auto status = relay->wait(5s);
            EXPECT_TRUE(status && status->exited_with(0)) << relay->err();
            auto counters = sender_summary(relay->out(), "counters ");
            EXPECT_GT(counters["up_dropped"], 0u) << relay->out();
            EXPECT_GT(counters["down_forwarded"], 0u) << relay->out();
            EXPECT_EQ(counters["up_received"], counters["up_dropped"] + counters["up_overflowed"] +
                                                   counters["up_forwarded"]);
        }
    }
}

}  // namespace
}  // namespace kelvra::testing
