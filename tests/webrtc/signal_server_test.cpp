// The signalling server between real programs: a gateway connects to it, the sender simulator
// plays a drone, and a viewer reaches the video through the server's WebSocket, as the web page
// does. The test speaks WebSocket and HTTP itself over blocking sockets, so it needs no main loop.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>

#include "kelvra/core/unique_fd.hpp"
#include "support/gateway_process.hpp"
#include "support/log_capture.hpp"
#include "support/process_runner.hpp"
#include "support/test_stream.hpp"
#include "support/webrtc_viewer.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::GatewayConfig;
using testing::GatewayProcess;
using testing::ProcessRunner;
using testing::WebrtcViewer;
using Clock = std::chrono::steady_clock;
using Predicate = std::function<bool(const json&)>;

constexpr const char* kStream = "gw1/0000BEEF/1";

Predicate of_type(const std::string& type) {
    return [type](const json& m) { return m["type"] == type; };
}

// A connection to 127.0.0.1:`port`; no read waits longer than five seconds.
UniqueFd connect_to(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
}

bool send_all(const UniqueFd& fd, const std::string& bytes) {
    return ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// A viewer's WebSocket connection. Messages are kept in arrival order; wait_for() and take()
// hand out the oldest that matches, once. Going out of scope cuts the connection without a
// closing handshake.
class WsClient {
public:
    explicit WsClient(uint16_t port) : fd_(connect_to(port)) {
        send_all(fd_,
                 "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        std::string head;
        char c = 0;
        while (!head.ends_with("\r\n\r\n") && ::recv(fd_.get(), &c, 1, 0) == 1) head += c;
        open_ = head.starts_with("HTTP/1.1 101 ");
    }

    bool open() const { return open_; }
    // Frames from a client are masked; a mask of zeros leaves the text as it is.
    void send(const json& message) {
        const std::string text = message.dump();
        std::string head = "\x81";
        if (text.size() < 126) {
            head += static_cast<char>(0x80 | text.size());
        } else {
            head += {static_cast<char>(0x80 | 126), static_cast<char>(text.size() >> 8),
                     static_cast<char>(text.size())};
        }
        EXPECT_TRUE(send_all(fd_, head + std::string(4, '\0') + text));
    }

    std::optional<json> take(const Predicate& predicate) {
        const auto found = std::find_if(messages_.begin(), messages_.end(), predicate);
        if (found == messages_.end()) return std::nullopt;
        json message = std::move(*found);
        messages_.erase(found);
        return message;
    }
    std::optional<json> wait_for(const Predicate& predicate,
                                 std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (auto found = take(predicate)) return found;
            if (!read_until(deadline)) return std::nullopt;
        }
    }
    // Reads one frame if one arrives before `deadline`; false on time-out or a closed connection.
    bool read_until(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd_.get(), POLLIN, 0};
        return open_ && ::poll(&entry, 1, std::max<int>(0, left.count())) == 1 &&
               (open_ = read_frame());
    }

private:
    bool read_exact(void* into, size_t size) {
        return size == 0 ||
               ::recv(fd_.get(), into, size, MSG_WAITALL) == static_cast<ssize_t>(size);
    }
    // Text frames are kept, others skipped; false at the end of the connection.
    bool read_frame() {
        uint8_t head[4];
        if (!read_exact(head, 2)) return false;
        size_t size = head[1] & 0x7F;
        if (size == 127) return false;  // no message here comes near 64 KiB
        if (size == 126 && !read_exact(head + 2, 2)) return false;
        if (size == 126) size = head[2] << 8 | head[3];
        std::string payload(size, '\0');
        if (!read_exact(payload.data(), size)) return false;
        if ((head[0] & 0x0F) == 0x1) messages_.push_back(json::parse(payload));
        return (head[0] & 0x0F) != 0x8;
    }

    UniqueFd fd_;
    bool open_ = false;
    std::vector<json> messages_;
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
        const auto deadline = Clock::now() + 10s;
        while (testing::occurrences(server_->out(), "Gateway gw1 connected") < connection) {
            ASSERT_LT(Clock::now(), deadline) << "the server did not see the gateway connect";
            server_->wait_for_output("\n", 50ms);  // collects output meanwhile
        }
    }

    void start_sender() {
        sender_ = std::make_unique<ProcessRunner>(
            NORVANE_SENDER_BINARY,
            std::vector<std::string>{"--gateway",    gateway_->gateway_address(),
                                     "--manet-addr", testing::kTestManetHex,
                                     "--camera",     "1",
                                     "--key",        testing::kTestStreamKeyHex,
                                     "--encode",     "vp8",
                                     "--frames",     "900",
                                     "--fps",        "30",
                                     "--detections", "2",
                                     "--width",      "320",
                                     "--height",     "240",
                                     "--linger-ms",  "0"});
    }

    // Opens the stream and returns the consumer id of the session.
    uint32_t open(WsClient& ws) {
        EXPECT_TRUE(ws.open());
        ws.send({{"type", "open"}, {"stream", kStream}});
        const auto opened = ws.wait_for(
            [](const json& m) { return m["type"] == "opened" || m["type"] == "refused"; });
        EXPECT_TRUE(opened);
        if (!opened) return 0;
        EXPECT_EQ((*opened)["type"], "opened") << opened->dump();
        EXPECT_EQ((*opened)["stream"], kStream);
        return (*opened)["consumer"].get<uint32_t>();
    }

    bool terminated(uint32_t consumer) {
        return gateway_->wait_for_log(
            "Got terminate session request for consumer id " + std::to_string(consumer), 5s);
    }

    // One HTTP/1.0 request to the server; the status and the body.
    std::pair<unsigned, std::string> http(const std::string& method, const std::string& path,
                                          const std::string& body = {}) {
        const UniqueFd fd = connect_to(http_port_);
        EXPECT_TRUE(send_all(fd, method + " " + path +
                                     " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: "
                                     "application/json\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body));
        std::string reply;
        char chunk[4096];
        for (ssize_t n; (n = ::recv(fd.get(), chunk, sizeof(chunk), 0)) > 0;)
            reply.append(chunk, n);
        const size_t body_at = reply.find("\r\n\r\n");
        if (!reply.starts_with("HTTP/1.") || body_at == std::string::npos) return {0, reply};
        return {std::stoul(reply.substr(9, 3)), reply.substr(body_at + 4)};
    }

    std::filesystem::path dir_;
    uint16_t http_port_ = 0;
    uint16_t gateway_port_ = 0;
    std::unique_ptr<ProcessRunner> server_;
    std::unique_ptr<GatewayProcess> gateway_;
    std::unique_ptr<ProcessRunner> sender_;
};

TEST_F(SignalServerTest, ViewerWatchesVideoAndDetectionsThroughTheServer) {
    WsClient ws(http_port_);
    const auto list = ws.wait_for(of_type("streams"));
    ASSERT_TRUE(list);
    ASSERT_EQ((*list)["streams"].size(), 1u);
    EXPECT_EQ((*list)["streams"][0]["id"], kStream);
    EXPECT_EQ((*list)["streams"][0]["name"], "Front camera");
    EXPECT_EQ((*list)["streams"][0]["connected"], true);

    start_sender();
    const uint32_t consumer = open(ws);
    ASSERT_NE(consumer, 0u);
    const auto offer = ws.wait_for(of_type("offer"));
    ASSERT_TRUE(offer) << gateway_->log();
    EXPECT_EQ((*offer)["stream"], kStream);

    WebrtcViewer viewer;
    viewer.apply_offer((*offer)["sdp"].get<std::string>());
    const auto answer = viewer.wait_for_answer();
    ASSERT_TRUE(answer) << viewer.describe();
    ws.send({{"type", "answer"}, {"stream", kStream}, {"sdp", *answer}});

    size_t remote_candidates = 0;
    const auto watched = [&] {
        return viewer.decoded_frames() >= 30 && viewer.texts().size() >= 10;
    };
    for (const auto deadline = Clock::now() + 25s; !watched() && Clock::now() < deadline;) {
        ws.read_until(Clock::now() + 10ms);
        for (std::optional<json> candidate; (candidate = ws.take(of_type("candidate")));) {
            viewer.add_remote_candidate((*candidate)["mline"], (*candidate)["candidate"]);
            ++remote_candidates;
        }
        for (const auto& [mline, line] : viewer.take_local_candidates()) {
            ws.send({{"type", "candidate"},
                     {"stream", kStream},
                     {"mline", mline},
                     {"candidate", line}});
        }
    }
    ASSERT_TRUE(watched()) << viewer.describe();
    EXPECT_GE(remote_candidates, 1u);
    EXPECT_EQ(viewer.encoding_name(), "VP8");
    EXPECT_EQ(viewer.data_channel_label(), "sendChannel");
    EXPECT_EQ(json::parse(viewer.texts().front())["det"].size(), 2u);

    // The figures the gateway reports reach the list.
    EXPECT_TRUE(ws.wait_for([](const json& m) {
        return m["type"] == "streams" && m["streams"][0]["video_available"] == true;
    }));

    ws.send({{"type", "close"}, {"stream", kStream}});
    EXPECT_TRUE(terminated(consumer));
}

TEST_F(SignalServerTest, ReconnectedGatewayGetsItsStreamsAndADroppedViewerSocketEndsItsSession) {
    auto ws = std::make_unique<WsClient>(http_port_);
    ASSERT_NE(open(*ws), 0u);

    gateway_->stop();
    const auto closed = ws->wait_for(of_type("closed"));
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["stream"], kStream);
    EXPECT_EQ((*closed)["reason"], "gateway disconnected");

    start_gateway(2);
    ASSERT_TRUE(ws->wait_for([](const json& m) {
        return m["type"] == "streams" && m["streams"][0]["connected"] == true;
    }));
    const uint32_t consumer = open(*ws);
    ASSERT_NE(consumer, 0u);
    // The viewer's socket breaks without a closing handshake, as when a browser crashes.
    ws.reset();
    EXPECT_TRUE(terminated(consumer));
    EXPECT_TRUE(server_->running());
}

TEST_F(SignalServerTest, HttpApiAnnouncesAndWithdrawsStreams) {
    EXPECT_EQ(http("GET", "/"), std::make_pair(200u, std::string("<html>viewer</html>")));

    const auto [added, added_body] = http(
        "POST", "/api/streams",
        R"({"gateway":"gw1","manet_addr":"00001234","camera":2,"key":"1032547698badcfe0123456789abcdef","name":"Rear"})");
    EXPECT_EQ(added, 201u) << added_body;
    EXPECT_TRUE(gateway_->wait_for_log("Add new stream with manet address 1234 and camera 2", 5s));
    EXPECT_EQ(json::parse(http("GET", "/api/streams").second)["streams"].size(), 2u);

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
