// The signalling server between real programs: a gateway connects to it, the sender simulator
// plays a drone, and a viewer reaches the video through the server's WebSocket, as the web page
// does. The test thread drives the WebSocket client on a main context of its own.

#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "signal/glib_ref.hpp"
#include "support/gateway_process.hpp"
#include "support/log_capture.hpp"
#include "support/process_runner.hpp"
#include "support/test_stream.hpp"
#include "support/webrtc_viewer.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using norvane::signal_server::GBytesPtr;
using norvane::signal_server::GErrorPtr;
using norvane::signal_server::GObjectPtr;
using testing::GatewayConfig;
using testing::GatewayProcess;
using testing::ProcessRunner;
using testing::WebrtcViewer;
using Clock = std::chrono::steady_clock;

constexpr const char* kStream = "gw1/0000BEEF/1";

// A viewer's WebSocket connection. Messages are kept in arrival order; wait_for() hands each out
// once.
class WsClient {
public:
    explicit WsClient(const std::string& url) : context_(g_main_context_new()) {
        g_main_context_push_thread_default(context_);
        session_.reset(soup_session_new());
        GObjectPtr<SoupMessage> message(soup_message_new("GET", url.c_str()));
        soup_session_websocket_connect_async(session_.get(), message.get(), nullptr, nullptr,
                                             G_PRIORITY_DEFAULT, cancellable_.get(), on_connected,
                                             this);
        pending_ = true;
    }

    ~WsClient() {
        g_cancellable_cancel(cancellable_.get());
        pump_until([&] { return !pending_; }, 2s);
        if (connection_) {
            g_signal_handlers_disconnect_by_data(connection_.get(), this);
            if (soup_websocket_connection_get_state(connection_.get()) ==
                SOUP_WEBSOCKET_STATE_OPEN) {
                soup_websocket_connection_close(connection_.get(), SOUP_WEBSOCKET_CLOSE_NORMAL,
                                                nullptr);
            }
        }
        connection_.reset();
        session_.reset();
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    bool wait_open(std::chrono::milliseconds timeout = 5s) {
        return pump_until([&] { return !pending_; }, timeout) && connection_ != nullptr;
    }

    void send(const json& message) {
        ASSERT_TRUE(connection_);
        soup_websocket_connection_send_text(connection_.get(), message.dump().c_str());
    }
    void send_raw(const std::string& text) {
        soup_websocket_connection_send_text(connection_.get(), text.c_str());
    }

    // The oldest message not handed out yet that matches `predicate`.
    std::optional<json> wait_for(const std::function<bool(const json&)>& predicate,
                                 std::chrono::milliseconds timeout = 10s) {
        std::optional<json> found;
        pump_until([&] { return (found = take(predicate)).has_value(); }, timeout);
        return found;
    }
    std::optional<json> wait_for_type(const std::string& type,
                                      std::chrono::milliseconds timeout = 10s) {
        return wait_for([&](const json& m) { return m["type"] == type; }, timeout);
    }
    std::optional<json> take(const std::function<bool(const json&)>& predicate) {
        for (size_t i = 0; i < messages_.size(); ++i) {
            if (!taken_[i] && predicate(messages_[i])) {
                taken_[i] = true;
                return messages_[i];
            }
        }
        return std::nullopt;
    }

    // Runs the context until `done` holds or the time is up.
    bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            while (g_main_context_iteration(context_, FALSE)) {
            }
            if (done()) return true;
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
    }

    // Cuts the connection without a closing handshake, as a crashed browser would.
    void drop() {
        g_signal_handlers_disconnect_by_data(connection_.get(), this);
        g_io_stream_close(soup_websocket_connection_get_io_stream(connection_.get()), nullptr,
                          nullptr);
        connection_.reset();
    }

    bool closed() const { return closed_; }

private:
    static void on_connected(GObject* session, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<WsClient*>(data);
        GError* raw_error = nullptr;
        SoupWebsocketConnection* connection =
            soup_session_websocket_connect_finish(SOUP_SESSION(session), result, &raw_error);
        GErrorPtr error(raw_error);
        self->pending_ = false;
        if (connection == nullptr) return;
        self->connection_.reset(connection);
        g_signal_connect(connection, "message", G_CALLBACK(on_message), self);
        g_signal_connect(connection, "closed", G_CALLBACK(on_closed), self);
    }
    static void on_message(SoupWebsocketConnection*, gint, GBytes* bytes, gpointer data) {
        auto* self = static_cast<WsClient*>(data);
        gsize size = 0;
        const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        self->messages_.push_back(json::parse(std::string(text, size)));
        self->taken_.push_back(false);
    }
    static void on_closed(SoupWebsocketConnection*, gpointer data) {
        static_cast<WsClient*>(data)->closed_ = true;
    }

    GMainContext* context_;
    GObjectPtr<GCancellable> cancellable_{g_cancellable_new()};
    GObjectPtr<SoupSession> session_;
    GObjectPtr<SoupWebsocketConnection> connection_;
    bool pending_ = false;
    bool closed_ = false;
    std::vector<json> messages_;
    std::vector<bool> taken_;
};

class SignalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("norvane-signal-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "web");
        std::ofstream(dir_ / "web" / "index.html") << "<html>viewer</html>";
        http_port_ = testing::free_tcp_port();
        gateway_port_ = testing::free_tcp_port();
        const json config = {{"http_address", "127.0.0.1"},
                             {"http_port", http_port_},
                             {"web_root", (dir_ / "web").string()},
                             {"gateways",
                              {{{"name", "gw1"},
                                {"listen_port", gateway_port_},
                                {"manet_addr", "0A0B0C0D"},
                                {"manet_key", "000102030405060708090a0b0c0d0e0f"}}}},
                             {"streams",
                              {{{"gateway", "gw1"},
                                {"manet_addr", testing::kTestManetHex},
                                {"camera", 1},
                                {"key", testing::kTestStreamKeyHex},
                                {"name", "Front camera"}}}}};
        std::ofstream(dir_ / "signal.json") << config.dump(2);
        server_ = std::make_unique<ProcessRunner>(
            NORVANE_SIGNAL_BINARY, std::vector<std::string>{"-c", (dir_ / "signal.json").string()});
        ASSERT_TRUE(server_->wait_for_output("norvane-signal ready", 5s)) << server_->out();
        start_gateway(1);
    }

    void TearDown() override {
        if (sender_) sender_->send_signal(SIGTERM);
        if (HasFailure()) {
            std::cerr << "--- server\n" << server_->out() << server_->err() << "\n";
            if (gateway_) std::cerr << "--- gateway\n" << gateway_->log().substr(0, 40000) << "\n";
        }
        std::filesystem::remove_all(dir_);
    }

    // Starts a gateway and waits until the server has announced the stream to it.
    void start_gateway(size_t connection) {
        GatewayConfig config;
        config.signalling_port = gateway_port_;
        config.ice_local_addresses = {"127.0.0.1"};
        gateway_ = std::make_unique<GatewayProcess>(config);
        ASSERT_TRUE(
            gateway_->wait_for_log("Add new stream with manet address beef and camera 1", 10s))
            << gateway_->log();
        ASSERT_TRUE(wait_for_server_log("Gateway gw1 connected", connection));
    }

    bool wait_for_server_log(const std::string& text, size_t times = 1) {
        const auto deadline = Clock::now() + 10s;
        for (;;) {
            if (testing::occurrences(server_->out(), text) >= times) return true;
            if (Clock::now() > deadline) return false;
            server_->wait_for_output("\n", 50ms);  // collects output meanwhile
        }
    }

    void start_sender(int frames) {
        sender_ = std::make_unique<ProcessRunner>(
            NORVANE_SENDER_BINARY,
            std::vector<std::string>{"--gateway",    gateway_->gateway_address(),
                                     "--manet-addr", testing::kTestManetHex,
                                     "--camera",     "1",
                                     "--key",        testing::kTestStreamKeyHex,
                                     "--encode",     "vp8",
                                     "--frames",     std::to_string(frames),
                                     "--fps",        "30",
                                     "--detections", "2",
                                     "--width",      "320",
                                     "--height",     "240",
                                     "--linger-ms",  "0"});
    }

    std::string ws_url() const { return "ws://127.0.0.1:" + std::to_string(http_port_) + "/ws"; }

    // Opens the stream and returns the consumer id of the session.
    uint32_t open(WsClient& ws) {
        ws.send({{"type", "open"}, {"stream", kStream}});
        const auto opened = ws.wait_for(
            [](const json& m) { return m["type"] == "opened" || m["type"] == "refused"; });
        EXPECT_TRUE(opened);
        if (!opened) return 0;
        EXPECT_EQ((*opened)["type"], "opened") << opened->dump();
        EXPECT_EQ((*opened)["stream"], kStream);
        return (*opened)["consumer"].get<uint32_t>();
    }

    // HTTP request to the server; the status and the body.
    std::pair<unsigned, std::string> http(const char* method, const std::string& path,
                                          const std::string& body = {}) {
        GObjectPtr<SoupSession> session(soup_session_new());
        const std::string url = "http://127.0.0.1:" + std::to_string(http_port_) + path;
        GObjectPtr<SoupMessage> message(soup_message_new(method, url.c_str()));
        if (!body.empty()) {
            GBytesPtr bytes(g_bytes_new(body.data(), body.size()));
            soup_message_set_request_body_from_bytes(message.get(), "application/json",
                                                     bytes.get());
        }
        GError* raw_error = nullptr;
        GBytesPtr reply(
            soup_session_send_and_read(session.get(), message.get(), nullptr, &raw_error));
        GErrorPtr error(raw_error);
        if (!reply) return {0, error ? error->message : ""};
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(reply.get(), &size));
        return {soup_message_get_status(message.get()), std::string(data, size)};
    }

    std::filesystem::path dir_;
    uint16_t http_port_ = 0;
    uint16_t gateway_port_ = 0;
    std::unique_ptr<ProcessRunner> server_;
    std::unique_ptr<GatewayProcess> gateway_;
    std::unique_ptr<ProcessRunner> sender_;
};

TEST_F(SignalServerTest, ViewerWatchesVideoAndDetectionsThroughTheServer) {
    WsClient ws(ws_url());
    ASSERT_TRUE(ws.wait_open());
    const auto list = ws.wait_for_type("streams");
    ASSERT_TRUE(list);
    ASSERT_EQ((*list)["streams"].size(), 1u);
    EXPECT_EQ((*list)["streams"][0]["id"], kStream);
    EXPECT_EQ((*list)["streams"][0]["name"], "Front camera");
    EXPECT_EQ((*list)["streams"][0]["connected"], true);

    start_sender(900);
    const uint32_t consumer = open(ws);
    ASSERT_NE(consumer, 0u);
    const auto offer = ws.wait_for_type("offer");
    ASSERT_TRUE(offer) << gateway_->log();
    EXPECT_EQ((*offer)["stream"], kStream);

    WebrtcViewer viewer;
    viewer.apply_offer((*offer)["sdp"].get<std::string>());
    const auto answer = viewer.wait_for_answer();
    ASSERT_TRUE(answer) << viewer.describe();
    ws.send({{"type", "answer"}, {"stream", kStream}, {"sdp", *answer}});

    size_t remote_candidates = 0;
    const bool watched = ws.pump_until(
        [&] {
            while (const auto candidate =
                       ws.take([](const json& m) { return m["type"] == "candidate"; })) {
                viewer.add_remote_candidate((*candidate)["mline"], (*candidate)["candidate"]);
                ++remote_candidates;
            }
            for (const auto& [mline, line] : viewer.take_local_candidates()) {
                ws.send({{"type", "candidate"},
                         {"stream", kStream},
                         {"mline", mline},
                         {"candidate", line}});
            }
            return viewer.decoded_frames() >= 30 && viewer.texts().size() >= 10;
        },
        25s);
    ASSERT_TRUE(watched) << viewer.describe();
    EXPECT_GE(remote_candidates, 1u);
    EXPECT_EQ(viewer.encoding_name(), "VP8");
    EXPECT_EQ(viewer.data_channel_label(), "sendChannel");
    EXPECT_EQ(json::parse(viewer.texts().front())["det"].size(), 2u);

    // The figures the gateway reports reach the list.
    const auto live = ws.wait_for([](const json& m) {
        return m["type"] == "streams" && m["streams"][0]["video_available"] == true;
    });
    EXPECT_TRUE(live);

    ws.send({{"type", "close"}, {"stream", kStream}});
    EXPECT_TRUE(gateway_->wait_for_log(
        "Got terminate session request for consumer id " + std::to_string(consumer), 5s));
}

TEST_F(SignalServerTest, UnknownStreamIsRefusedAndBadInputAnswered) {
    WsClient ws(ws_url());
    ASSERT_TRUE(ws.wait_open());
    ws.send({{"type", "open"}, {"stream", "gw1/0000DEAD/1"}});
    const auto refused = ws.wait_for_type("refused");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["stream"], "gw1/0000DEAD/1");
    EXPECT_EQ((*refused)["status"], "No stream found");

    ws.send_raw("{not json");
    EXPECT_TRUE(ws.wait_for_type("error"));
    ws.send({{"type", "answer"}, {"stream", kStream}, {"sdp", "v=0"}});
    EXPECT_TRUE(ws.wait_for_type("error"));
    // The server lives on and serves the next viewer.
    EXPECT_NE(open(ws), 0u);
    EXPECT_TRUE(server_->running());
}

TEST_F(SignalServerTest, DroppedSocketEndsItsSessions) {
    auto ws = std::make_unique<WsClient>(ws_url());
    ASSERT_TRUE(ws->wait_open());
    const uint32_t consumer = open(*ws);
    ASSERT_NE(consumer, 0u);
    ws->drop();
    ws.reset();
    EXPECT_TRUE(gateway_->wait_for_log(
        "Got terminate session request for consumer id " + std::to_string(consumer), 5s));
}

TEST_F(SignalServerTest, GatewayThatReconnectsGetsItsStreamsAgain) {
    WsClient ws(ws_url());
    ASSERT_TRUE(ws.wait_open());
    const uint32_t first = open(ws);
    ASSERT_NE(first, 0u);

    gateway_->stop();
    const auto closed = ws.wait_for_type("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["stream"], kStream);
    EXPECT_EQ((*closed)["reason"], "gateway disconnected");

    start_gateway(2);
    ASSERT_TRUE(ws.wait_for([](const json& m) {
        return m["type"] == "streams" && m["streams"][0]["connected"] == true;
    }));
    const uint32_t second = open(ws);
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
}

TEST_F(SignalServerTest, HttpApiAnnouncesAndWithdrawsStreams) {
    const auto [index_status, index] = http("GET", "/");
    EXPECT_EQ(index_status, 200u);
    EXPECT_EQ(index, "<html>viewer</html>");

    const auto [added, added_body] = http(
        "POST", "/api/streams",
        R"({"gateway":"gw1","manet_addr":"00001234","camera":2,"key":"1032547698badcfe0123456789abcdef","name":"Rear"})");
    EXPECT_EQ(added, 201u) << added_body;
    EXPECT_TRUE(gateway_->wait_for_log("Add new stream with manet address 1234 and camera 2", 5s));
    const auto listed = json::parse(http("GET", "/api/streams").second);
    EXPECT_EQ(listed["streams"].size(), 2u);

    const auto [metrics_status, metrics] = http("GET", "/metrics");
    EXPECT_EQ(metrics_status, 200u);
    EXPECT_NE(metrics.find("norvane_gateway_connected{gateway=\"gw1\"} 1\n"), std::string::npos)
        << metrics;

    EXPECT_EQ(http("DELETE", "/api/streams/gw1/00001234/2").first, 200u);
    EXPECT_TRUE(gateway_->wait_for_log("Deleting stream with manet address 1234 and camera 2", 5s));
    EXPECT_EQ(http("DELETE", "/api/streams/gw1/00001234/2").first, 404u);
}

}  // namespace
}  // namespace kelvra
