// What the server sends gateways and viewers in answer to what it receives from them, checked
// frame by frame and message by message through recording sinks.

#include "signal/signal_hub.hpp"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane::signal_server {
namespace {

using nlohmann::json;
namespace video = msgs::video;

const Key kStreamKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

using testing::info_of;
using Peer = testing::SignallingPeer;

// The figures a gateway reports for the front camera.
Bytes state_frame(uint32_t bitrate, uint32_t lost_frames = 0, bool video_available = false) {
    video::stream_state state;
    state.manet_addr = 0xBEEF;
    state.camera_type = 1;
    state.bitrate_est = bitrate;
    state.lost_frames = lost_frames;
    state.video_available = video_available ? 1 : 0;
    return frame_of(state);
}

struct SentFrame {
    std::string gateway;
    Bytes frame;
};

class RecordingGateways : public GatewaySink {
public:
    bool send_frame(const std::string& gateway, const Bytes& frame) override {
        sent.push_back({gateway, frame});
        return true;
    }
    std::vector<SentFrame> sent;
};

class RecordingViewers : public ViewerSink {
public:
    void send_text(ViewerId viewer, const std::string& text) override {
        received[viewer].push_back(json::parse(text));  // throws on anything but valid JSON
    }
    std::map<ViewerId, std::vector<json>> received;
};

class SignalHubTest : public ::testing::Test {
protected:
    static ServerConfig config() {
        ServerConfig config;
        config.gateways = {{"gw1", "0.0.0.0", 5466, 1, {}, {}},
                           {"gw2", "0.0.0.0", 5467, 2, {}, {}}};
        for (const auto& [gateway, manet_addr, camera, name] :
             {std::tuple{"gw1", 0xBEEFu, 1, "Front"}, std::tuple{"gw1", 0xBEEFu, 2, "Rear"},
              std::tuple{"gw2", 0xCAFEu, 1, "Other"}}) {
            StreamConfig& stream = config.streams.emplace_back();
            stream.id.gateway = gateway;
            stream.id.manet_addr = manet_addr;
            stream.id.camera = static_cast<uint8_t>(camera);
            stream.key = kStreamKey;
            stream.name = name;
        }
        return config;
    }

    // The frames of `Message`'s type sent and not taken yet, parsed; other frames stay.
    template <typename Message>
    std::vector<std::pair<std::string, Message>> take() {
        std::vector<std::pair<std::string, Message>> out;
        std::vector<SentFrame> others;
        for (SentFrame& sent : gateways.sent) {
            if (sent.frame[0] != Message::TYPE) {
                others.push_back(std::move(sent));
                continue;
            }
            kept.push_back(std::move(sent.frame));  // parsed fields point into it
            Message message;
            EXPECT_GE(message.parse(info_of(kept.back()), arena), 0);
            out.emplace_back(sent.gateway, message);
        }
        gateways.sent = std::move(others);
        return out;
    }

    json last(ViewerId viewer) {
        auto& list = viewers.received[viewer];
        return list.empty() ? json() : list.back();
    }

    void from_gateway(const std::string& gateway, const Bytes& frame) {
        hub.gateway_frame(gateway, info_of(frame));
    }

    Bytes response(uint32_t consumer, int8_t result, const char* status) {
        return frame_of(video::session_response{{}, 0xBEEF, consumer, 1, result, status});
    }
    Bytes session_msg(uint32_t consumer, const Bytes& peer_msg) {
        return Peer::session_msg_frame(0xBEEF, consumer, 1, peer_msg);
    }
    // The frame a gateway's session_msg carries, parsed as `Message`.
    template <typename Message>
    Message inner(const video::session_msg& wrapped) {
        kept.emplace_back(wrapped.peer_msg.begin(), wrapped.peer_msg.end());
        Message message;
        EXPECT_GE(message.parse(info_of(kept.back()), arena), 0);
        return message;
    }

    // Opens `stream` for `viewer` and returns the consumer id of the request.
    uint32_t open(ViewerId viewer, const std::string& stream) {
        hub.viewer_text(viewer, json{{"type", "open"}, {"stream", stream}}.dump());
        const auto requests = take<video::session_request>();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? 0 : requests[0].second.consumer_id;
    }

    uint32_t open_accepted(ViewerId viewer, const std::string& stream) {
        const uint32_t consumer = open(viewer, stream);
        from_gateway(parse_stream_id(stream)->gateway, response(consumer, 0, "OK"));
        EXPECT_EQ(last(viewer)["type"], "opened");
        return consumer;
    }

    RecordingGateways gateways;
    RecordingViewers viewers;
    SignalHub hub{config(), gateways, viewers};
    std::vector<Bytes> kept;
    messgen::OwnedArena arena{1 << 20};
};

TEST_F(SignalHubTest, ConnectingGatewayGetsItsStreamsAnnouncedEveryTime) {
    for (int round = 0; round < 2; ++round) {
        hub.gateway_connected("gw1");
        const auto announced = take<video::set_stream>();
        ASSERT_EQ(announced.size(), 2u);
        for (const auto& [gateway, message] : announced) {
            EXPECT_EQ(gateway, "gw1");
            EXPECT_EQ(message.manet_addr, 0xBEEFu);
            EXPECT_EQ(message.enabled, 1);
            EXPECT_TRUE(std::equal(kStreamKey.begin(), kStreamKey.end(), message.key));
        }
        EXPECT_EQ(announced[0].second.camera_type, 1);
        EXPECT_EQ(announced[1].second.camera_type, 2);
        hub.gateway_disconnected("gw1");
    }
}

TEST_F(SignalHubTest, ViewerSeesTheListAtOnceAndChangesAtTheNextTick) {
    hub.viewer_joined(1);
    ASSERT_EQ(viewers.received[1].size(), 1u);
    const json list = last(1);
    EXPECT_EQ(list["type"], "streams");
    ASSERT_EQ(list["streams"].size(), 3u);
    EXPECT_EQ(list["streams"][0]["id"], "gw1/0000BEEF/1");
    EXPECT_EQ(list["streams"][0]["connected"], false);

    hub.gateway_connected("gw1");
    from_gateway("gw1", state_frame(1234, 3, true));
    EXPECT_EQ(viewers.received[1].size(), 1u);  // nothing before the tick
    hub.tick();
    ASSERT_EQ(viewers.received[1].size(), 2u);
    const json front = last(1)["streams"][0];
    EXPECT_EQ(front["connected"], true);
    EXPECT_EQ(front["video_available"], true);
    EXPECT_EQ(front["bitrate"], 1234);
    EXPECT_EQ(front["lost_frames"], 3);
    // The same figures again change nothing.
    from_gateway("gw1", state_frame(1234, 3, true));
    hub.tick();
    EXPECT_EQ(viewers.received[1].size(), 2u);
}

TEST_F(SignalHubTest, ConfiguredIceServersReachEveryViewerBeforeTheList) {
    ServerConfig with_servers = config();
    with_servers.ice_servers = {{{"turn:10.0.0.1:3478"}, "u", "p"}};
    SignalHub hub_with_servers{with_servers, gateways, viewers};
    hub_with_servers.viewer_joined(7);
    ASSERT_EQ(viewers.received[7].size(), 2u);
    EXPECT_EQ(viewers.received[7][0], json::parse(R"({"type": "ice_servers", "ice_servers": [
                  {"urls": ["turn:10.0.0.1:3478"], "username": "u", "credential": "p"}]})"));
    EXPECT_EQ(viewers.received[7][1]["type"], "streams");
}

TEST_F(SignalHubTest, SessionRunsFromRequestThroughOfferAndAnswerToClose) {
    hub.gateway_connected("gw1");
    take<video::set_stream>();
    hub.viewer_joined(1);
    const uint32_t consumer = open(1, "gw1/0000beef/1");
    EXPECT_NE(consumer, 0u);
    from_gateway("gw1", response(consumer, 0, "OK"));
    EXPECT_EQ(last(1),
              (json{{"type", "opened"}, {"stream", "gw1/0000BEEF/1"}, {"consumer", consumer}}));

    from_gateway("gw1", session_msg(consumer, Peer::sdp_frame("v=0 offer", "offer")));
    EXPECT_EQ(last(1),
              (json{{"type", "offer"}, {"stream", "gw1/0000BEEF/1"}, {"sdp", "v=0 offer"}}));
    const char* line = "candidate:1 1 UDP 1 127.0.0.1 5000 typ host";
    from_gateway("gw1", session_msg(consumer, frame_of(video::ice_message{{}, 0, line})));
    EXPECT_EQ(last(1), (json{{"type", "candidate"},
                             {"stream", "gw1/0000BEEF/1"},
                             {"mline", 0},
                             {"candidate", line}}));

    hub.viewer_text(1, R"({"type":"answer","stream":"gw1/0000BEEF/1","sdp":"v=0 answer"})");
    hub.viewer_text(1,
                    R"({"type":"candidate","stream":"gw1/0000BEEF/1","mline":0,"candidate":"c1"})");
    hub.viewer_text(1,
                    R"({"type":"candidate","stream":"gw1/0000BEEF/1","mline":0,"candidate":""})");
    const auto wrapped = take<video::session_msg>();
    ASSERT_EQ(wrapped.size(), 2u);  // the empty end-of-candidates mark is not forwarded
    for (const auto& [gateway, message] : wrapped) {
        EXPECT_EQ(gateway, "gw1");
        EXPECT_EQ(message.manet_addr, 0xBEEFu);
        EXPECT_EQ(message.consumer_id, consumer);
        EXPECT_EQ(message.camera_type, 1);
    }
    const auto answer = inner<video::sdp_message>(wrapped[0].second);
    EXPECT_STREQ(answer.sdp, "v=0 answer");
    EXPECT_STREQ(answer.type, "answer");
    EXPECT_STREQ(inner<video::ice_message>(wrapped[1].second).candidate, "c1");

    hub.viewer_text(1, R"({"type":"close","stream":"gw1/0000BEEF/1"})");
    const auto terminated = take<video::terminate_session>();
    ASSERT_EQ(terminated.size(), 1u);
    EXPECT_EQ(terminated[0].second.consumer_id, consumer);
    EXPECT_EQ(terminated[0].second.camera_type, 1);
    EXPECT_TRUE(hub.sessions().all().empty());
}

TEST_F(SignalHubTest, ConsumerIdsAreUniqueAndMessagesReachOnlyTheirViewer) {
    hub.gateway_connected("gw1");
    hub.gateway_connected("gw2");
    hub.viewer_joined(1);
    hub.viewer_joined(2);
    const uint32_t a = open_accepted(1, "gw1/0000BEEF/1");
    const uint32_t b = open_accepted(2, "gw1/0000BEEF/1");
    const uint32_t c = open_accepted(1, "gw2/0000CAFE/1");
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_NE(a, c);
    const Bytes offer = Peer::sdp_frame("for b", "offer");
    const size_t before = viewers.received[1].size();
    from_gateway("gw1", session_msg(b, offer));
    EXPECT_EQ(last(2)["sdp"], "for b");
    EXPECT_EQ(viewers.received[1].size(), before);
    // A gateway cannot reach sessions held on another gateway.
    from_gateway("gw2", session_msg(a, offer));
    EXPECT_EQ(viewers.received[1].size(), before);
    // Opening a stream twice on one connection is an error, not a second session.
    hub.viewer_text(1, R"({"type":"open","stream":"gw1/0000BEEF/1"})");
    EXPECT_EQ(last(1)["type"], "error");
    EXPECT_TRUE(take<video::session_request>().empty());
}

TEST_F(SignalHubTest, RefusalsAreReportedAndForgotten) {
    hub.gateway_connected("gw1");
    hub.viewer_joined(1);
    hub.viewer_text(1, R"({"type":"open","stream":"gw1/0000DEAD/1"})");
    EXPECT_EQ(
        last(1),
        (json{{"type", "refused"}, {"stream", "gw1/0000DEAD/1"}, {"status", "No stream found"}}));
    hub.viewer_text(1, R"({"type":"open","stream":"gw2/0000CAFE/1"})");
    EXPECT_EQ(last(1)["type"], "refused");  // gw2 is not connected
    EXPECT_TRUE(take<video::session_request>().empty());

    const uint32_t consumer = open(1, "gw1/0000BEEF/1");
    from_gateway("gw1", response(consumer, -1, "WebrtcSession exists"));
    EXPECT_EQ(last(1), (json{{"type", "refused"},
                             {"stream", "gw1/0000BEEF/1"},
                             {"status", "WebrtcSession exists"}}));
    EXPECT_TRUE(hub.sessions().all().empty());
    hub.viewer_text(1, R"({"type":"answer","stream":"gw1/0000BEEF/1","sdp":"x"})");
    EXPECT_EQ(last(1)["type"], "error");
    EXPECT_TRUE(take<video::session_msg>().empty());
}

TEST_F(SignalHubTest, LeavingViewerAndLostGatewayEndTheirSessions) {
    hub.gateway_connected("gw1");
    hub.gateway_connected("gw2");
    hub.viewer_joined(1);
    hub.viewer_joined(2);
    const uint32_t a = open_accepted(1, "gw1/0000BEEF/1");
    const uint32_t pending = open(1, "gw1/0000BEEF/2");
    open_accepted(2, "gw1/0000BEEF/1");
    const uint32_t far = open_accepted(2, "gw2/0000CAFE/1");
    take<video::terminate_session>();

    hub.viewer_left(1);
    std::set<uint32_t> ended;
    for (const auto& [gateway, message] : take<video::terminate_session>()) {
        ended.insert(message.consumer_id);
    }
    EXPECT_EQ(ended, (std::set<uint32_t>{a, pending}));
    // The answer to the request that was still open arrives after the viewer left: dropped.
    const size_t seen = viewers.received[1].size();
    from_gateway("gw1", response(pending, 0, "OK"));
    EXPECT_EQ(viewers.received[1].size(), seen);

    hub.gateway_disconnected("gw1");
    EXPECT_EQ(last(2), (json{{"type", "closed"},
                             {"stream", "gw1/0000BEEF/1"},
                             {"reason", "gateway disconnected"}}));
    ASSERT_EQ(hub.sessions().all().size(), 1u);
    EXPECT_EQ(hub.sessions().all().begin()->first, far);
}

// The body of a request to add a stream.
std::string stream_body(const char* gateway, const char* manet_addr, int camera = 3,
                        bool with_key = true) {
    json body{{"gateway", gateway}, {"manet_addr", manet_addr}, {"camera", camera}};
    if (with_key) body["key"] = "1032547698badcfe0123456789abcdef";
    return body.dump();
}

TEST_F(SignalHubTest, SessionLimitsRefuseOpensAndFreeWithTheSessions) {
    ServerConfig bounded = config();
    bounded.limits.sessions_per_connection = 2;
    bounded.limits.sessions_per_account = 3;
    bounded.limits.sessions_per_stream = 2;
    bounded.limits.sessions_total = 4;
    SignalHub limited{bounded, gateways, viewers};
    limited.gateway_connected("gw1");
    limited.gateway_connected("gw2");
    take<video::set_stream>();
    // The status the viewer gets for its open, or "requested" when it went to the gateway.
    const auto open_status = [&](ViewerId viewer, const char* stream) -> std::string {
        limited.viewer_text(viewer, json{{"type", "open"}, {"stream", stream}}.dump());
        if (!take<video::session_request>().empty()) return "requested";
        return last(viewer)["type"] == "refused" ? last(viewer)["status"] : last(viewer)["type"];
    };
    // Viewers 1 and 2 are one account's connections; 3 and 4 are others'.
    for (ViewerId viewer = 1; viewer <= 4; ++viewer) {
        limited.viewer_joined(viewer, "unknown",
                              viewer <= 2 ? "alice" : "bob" + std::to_string(viewer));
    }
    EXPECT_EQ(open_status(1, "gw1/beef/1"), "requested");
    EXPECT_EQ(open_status(1, "gw1/beef/2"), "requested");
    EXPECT_EQ(open_status(1, "gw2/cafe/1"), "limit reached: sessions per connection");
    EXPECT_EQ(open_status(2, "gw2/cafe/1"), "requested");
    EXPECT_EQ(open_status(2, "gw1/beef/1"), "limit reached: sessions per account");
    EXPECT_EQ(open_status(3, "gw1/beef/1"), "requested");
    EXPECT_EQ(open_status(4, "gw1/beef/1"), "limit reached: sessions per stream");
    EXPECT_EQ(open_status(4, "gw2/cafe/1"), "limit reached: sessions in all");
    EXPECT_EQ(limited.sessions().all().size(), 4u);
    // A closed session and a viewer that left give their places back.
    limited.viewer_text(1, json{{"type", "close"}, {"stream", "gw1/beef/1"}}.dump());
    EXPECT_EQ(open_status(4, "gw1/beef/1"), "requested");
    limited.viewer_left(2);
    EXPECT_EQ(open_status(4, "gw2/cafe/1"), "requested");
}

TEST_F(SignalHubTest, AnAccountOpensOnlySoManySessionsASecond) {
    ServerConfig bounded = config();
    bounded.limits.session_opens_per_second = 2;
    SignalHub limited{bounded, gateways, viewers};
    limited.gateway_connected("gw1");
    take<video::set_stream>();
    limited.viewer_joined(1, "unknown", "alice");
    // Opens and closes at once, as a flood would: the open places are free again at once.
    const auto open_and_close = [&]() -> std::string {
        limited.viewer_text(1, json{{"type", "open"}, {"stream", "gw1/beef/1"}}.dump());
        const std::string outcome =
            take<video::session_request>().empty() ? last(1)["status"] : "requested";
        limited.viewer_text(1, json{{"type", "close"}, {"stream", "gw1/beef/1"}}.dump());
        return outcome;
    };
    EXPECT_EQ(open_and_close(), "requested");
    EXPECT_EQ(open_and_close(), "requested");
    EXPECT_EQ(open_and_close(), "limit reached: session opens per second");
    limited.tick();
    EXPECT_EQ(open_and_close(), "requested");
}

TEST_F(SignalHubTest, ApiAddsAndRemovesStreams) {
    hub.gateway_connected("gw1");
    take<video::set_stream>();
    const auto added = hub.add_stream(stream_body("gw1", "00001234"));
    EXPECT_EQ(added.status, 201u);
    EXPECT_EQ(added.body["id"], "gw1/00001234/3");
    auto announced = take<video::set_stream>();
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].second.manet_addr, 0x1234u);
    EXPECT_EQ(announced[0].second.enabled, 1);

    EXPECT_EQ(hub.add_stream(stream_body("gw1", "1234")).status, 409u);
    EXPECT_EQ(hub.add_stream(stream_body("gw9", "1")).status, 400u);
    EXPECT_EQ(hub.add_stream(stream_body("gw1", "1", 3, false)).status, 400u);
    EXPECT_EQ(hub.add_stream("not json").status, 400u);
    // A stream of a gateway that is away is announced when it connects.
    EXPECT_EQ(hub.add_stream(stream_body("gw2", "5", 0)).status, 201u);
    EXPECT_TRUE(take<video::set_stream>().empty());

    hub.viewer_joined(1);
    const uint32_t consumer = open_accepted(1, "gw1/00001234/3");
    const auto removed = hub.remove_stream("gw1", "1234", "3");
    EXPECT_EQ(removed.status, 200u);
    EXPECT_EQ(
        last(1),
        (json{{"type", "closed"}, {"stream", "gw1/00001234/3"}, {"reason", "stream removed"}}));
    const auto terminated = take<video::terminate_session>();
    ASSERT_EQ(terminated.size(), 1u);
    EXPECT_EQ(terminated[0].second.consumer_id, consumer);
    const auto withdrawn = take<video::set_stream>();
    ASSERT_EQ(withdrawn.size(), 1u);
    EXPECT_EQ(withdrawn[0].second.manet_addr, 0x1234u);
    EXPECT_EQ(withdrawn[0].second.enabled, 0);
    // A withdrawn stream is not announced again when its gateway reconnects.
    hub.gateway_connected("gw1");
    EXPECT_EQ(take<video::set_stream>().size(), 2u);
    hub.gateway_connected("gw2");
    EXPECT_EQ(take<video::set_stream>().size(), 2u);  // its configured and its added stream
    EXPECT_EQ(hub.remove_stream("gw1", "1234", "3").status, 404u);
    EXPECT_EQ(hub.remove_stream("gw1", "xyz", "3").status, 400u);
    EXPECT_EQ(hub.remove_stream("gw1", "1234", "999").status, 400u);
}

TEST_F(SignalHubTest, GarbageFromViewersGetsAnErrorAndChangesNothing) {
    hub.gateway_connected("gw1");
    take<video::set_stream>();
    hub.viewer_joined(1);
    const uint32_t consumer = open_accepted(1, "gw1/0000BEEF/1");
    for (const char* text :
         {"", "{", "[]", "42", R"({"stream":"gw1/0000BEEF/1"})", R"({"type":7,"stream":"x"})",
          R"({"type":"open"})", R"({"type":"open","stream":12})",
          R"({"type":"dance","stream":"gw1/0000BEEF/1"})",
          R"({"type":"candidate","stream":"gw1/0000BEEF/1","candidate":"c"})",
          R"({"type":"candidate","stream":"gw1/0000BEEF/1","mline":-1,"candidate":"c"})",
          R"({"type":"candidate","stream":"gw1/0000BEEF/1","mline":5000000000,"candidate":"c"})",
          R"({"type":"answer","stream":"gw1/0000BEEF/1"})",
          R"({"type":"answer","stream":"gw1/0000BEEF/1","sdp":""})",
          R"({"type":"close","stream":"gw1/0000BEEF/2"})", "\xff\xfe"}) {
        const size_t before = viewers.received[1].size();
        hub.viewer_text(1, text);
        ASSERT_EQ(viewers.received[1].size(), before + 1) << text;
        EXPECT_EQ(last(1)["type"], "error") << text;
        EXPECT_TRUE(last(1)["message"].is_string());
    }
    EXPECT_TRUE(gateways.sent.empty());
    ASSERT_NE(hub.sessions().find(1, {"gw1", 0xBEEF, 1}), nullptr);
    EXPECT_EQ(hub.sessions().find(1, {"gw1", 0xBEEF, 1})->consumer, consumer);

    // An answer too large for one gateway record is refused here rather than lost there.
    const json huge{
        {"type", "answer"}, {"stream", "gw1/0000BEEF/1"}, {"sdp", std::string(9000, 'a')}};
    hub.viewer_text(1, huge.dump());
    EXPECT_EQ(last(1)["type"], "error");
    EXPECT_TRUE(gateways.sent.empty());
}

TEST_F(SignalHubTest, GarbageFromGatewaysIsDropped) {
    hub.gateway_connected("gw1");
    hub.viewer_joined(1);
    const uint32_t consumer = open_accepted(1, "gw1/0000BEEF/1");
    const size_t before = viewers.received[1].size();

    Bytes truncated = response(consumer, 0, "OK");
    truncated.resize(truncated.size() - 1);
    hub.gateway_frame(
        "gw1", {truncated[0], static_cast<uint32_t>(truncated.size() - 5), truncated.data() + 5});
    from_gateway("gw1", Bytes{42, 0, 0, 0, 0});
    // Peer messages that are not exactly one frame, or not an offer.
    const Bytes answer = Peer::sdp_frame("x", "answer");
    for (const Bytes& peer_msg :
         {testing::concat({answer, answer}), answer, Bytes{8, 255, 255, 255, 255}, Bytes{}}) {
        from_gateway("gw1", session_msg(consumer, peer_msg));
    }
    EXPECT_EQ(viewers.received[1].size(), before);

    // Text that is not UTF-8 still makes valid JSON (the recording sink parses every message).
    from_gateway("gw1", session_msg(consumer, Peer::sdp_frame("v=0\xff\xfe", "offer")));
    EXPECT_EQ(last(1)["type"], "offer");
}

TEST_F(SignalHubTest, MetricsListFiguresConnectionsAndViewers) {
    hub.gateway_connected("gw1");
    hub.viewer_joined(1);
    open_accepted(1, "gw1/0000BEEF/1");
    from_gateway("gw1", state_frame(99));
    hub.add_stream(
        R"({"gateway":"gw2","manet_addr":"1","camera":0,"key":"1032547698badcfe0123456789abcdef","name":"a \"b\"\n"})");
    const std::string text = hub.metrics();
    for (const char* line :
         {"# TYPE norvane_stream_bitrate gauge\n",
          "norvane_stream_bitrate{gateway=\"gw1\",manet_addr=\"0000BEEF\",camera=\"1\",name="
          "\"Front\"} 99\n",
          "norvane_stream_viewers{gateway=\"gw1\",manet_addr=\"0000BEEF\",camera=\"1\",name="
          "\"Front\"} 1\n",
          "name=\"a \\\"b\\\"\\n\"} 0\n", "norvane_gateway_connected{gateway=\"gw1\"} 1\n",
          "norvane_gateway_connected{gateway=\"gw2\"} 0\n",
          "norvane_gateway_viewers{gateway=\"gw1\"} 1\n", "norvane_viewer_connections 1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
