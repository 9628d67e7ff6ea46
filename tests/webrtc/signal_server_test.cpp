// The signalling server between real programs: a real gateway connects to it, and a viewer talks
// to it over WebSocket as the web page does, the operator over HTTP. The test speaks both itself
// over blocking sockets. Video through the server reaches a real browser in tests/browser.

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
#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"
#include "support/gateway_process.hpp"
#include "support/log_capture.hpp"
#include "support/process_runner.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::GatewayConfig;
using testing::GatewayProcess;
using testing::ProcessRunner;
using Clock = std::chrono::steady_clock;
using Predicate = std::function<bool(const json&)>;

constexpr const char* kStream = "gw1/0000BEEF/1";

// A connection to 127.0.0.1:`port`, from `from` when given; no read waits longer than five
// seconds.
UniqueFd connect_to(uint16_t port, const char* from = nullptr) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{};
    if (from != nullptr) {
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &addr.sin_addr);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    }
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

// A viewer's WebSocket connection. Messages are kept in arrival order until wait_for() hands
// them out. Going out of scope cuts the connection without a closing handshake.
class WsClient {
public:
    explicit WsClient(uint16_t port, const std::string& more_headers = {}) : fd_(connect_to(port)) {
        send_all(fd_,
                 "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
                     more_headers + "\r\n");
        std::string head;
        char c = 0;
        while (!head.ends_with("\r\n\r\n") && ::recv(fd_.get(), &c, 1, 0) == 1) head += c;
        open_ = head.starts_with("HTTP/1.1 101 ");
    }

    bool open() const { return open_; }
    void send(const json& message) { EXPECT_TRUE(send_frame(0x81, message.dump())); }
    // A text message in `count` fragments of 1000 bytes, all but the last without FIN.
    void send_fragments(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            send_frame((i == 0 ? 0x1 : 0x0) | (i + 1 == count ? 0x80 : 0), std::string(1000, 'x'));
        }
    }

    // The oldest message not handed out yet that matches `predicate`, waiting for it.
    std::optional<json> wait_for(const Predicate& predicate,
                                 std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto found = std::find_if(messages_.begin(), messages_.end(), predicate);
            if (found != messages_.end()) {
                json message = std::move(*found);
                messages_.erase(found);
                return message;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd entry{fd_.get(), POLLIN, 0};
            if (!open_ || ::poll(&entry, 1, std::max<int>(0, left.count())) != 1) return {};
            if (!(open_ = read_frame())) return {};
        }
    }

private:
    // A frame of less than 64 KiB; frames from a client are masked, and a mask of zeros leaves
    // the payload as it is.
    bool send_frame(int first_byte, const std::string& payload) {
        std::string head{static_cast<char>(first_byte)};
        if (payload.size() < 126) {
            head += static_cast<char>(0x80 | payload.size());
        } else {  // 126: the size follows in two bytes
            head +=
                {'\xFE', static_cast<char>(payload.size() >> 8), static_cast<char>(payload.size())};
        }
        return send_all(fd_, head + std::string(4, '\0') + payload);
    }
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
        json config = json::parse(R"({
            "http_address": "127.0.0.1",
            "gateways": [{"name": "gw1", "allowed_sources": ["127.0.0.1"], "manet_addr": "0A0B0C0D",
                          "manet_key": "000102030405060708090a0b0c0d0e0f"}],
            "limits": {"gateway_proof_seconds": 1, "sessions_per_stream": 2,
                       "http_request_seconds": 1, "websocket_message_bytes": 4096,
                       "websocket_connections_per_account": 4},
            "streams": [{"gateway": "gw1", "manet_addr": "0000BEEF", "camera": 1,
                         "key": "1032547698badcfe0123456789abcdef", "name": "Front camera"}]})");
        config.update({{"http_port", http_port_},
                       {"web_root", (dir_ / "web").string()},
                       {"state_dir", (dir_ / "state").string()}});
        config["gateways"][0]["listen_port"] = gateway_port_;
        std::ofstream(dir_ / "signal.json") << config.dump(2);
        const auto token = account_command("token add test");
        ASSERT_TRUE(token.status && token.status->exited_with(0)) << token.err;
        auth_header_ = "Authorization: Bearer " + token.out.substr(0, 64) + "\r\n";
        start_server();
        start_gateway();
    }

    void start_server() {
        server_ = std::make_unique<ProcessRunner>(
            NORVANE_SIGNAL_BINARY, std::vector<std::string>{"-c", (dir_ / "signal.json").string()});
        ASSERT_TRUE(server_->wait_for_output("norvane-signal ready", 5s)) << server_->out();
    }

    // `norvane-signal -c CONFIG <command>`, with `password` on its standard input.
    testing::ProcessResult account_command(const std::string& command,
                                           const std::string& password = {}) {
        return testing::run_process(
            "/bin/sh", {"-c", "echo '" + password + "' | " + NORVANE_SIGNAL_BINARY + " -c " +
                                  (dir_ / "signal.json").string() + " " + command});
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "--- server\n" << server_->out() << server_->err() << "\n";
            if (gateway_) std::cerr << "--- gateway\n" << gateway_->log().substr(0, 40000) << "\n";
        }
        std::filesystem::remove_all(dir_);
    }

    // Starts a gateway and waits until the server has announced the stream to it.
    void start_gateway() {
        GatewayConfig config;
        config.signalling_port = gateway_port_;
        config.ice_local_addresses = {"127.0.0.1"};
        gateway_ = std::make_unique<GatewayProcess>(config);
        ASSERT_TRUE(
            gateway_->wait_for_log("Add new stream with manet address beef and camera 1", 10s))
            << gateway_->log();
        ASSERT_TRUE(server_->wait_for_output("Gateway gw1 connected", 10s)) << server_->out();
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

    // One HTTP/1.0 request to the server; the status and the body.
    std::pair<unsigned, std::string> http(const std::string& method, const std::string& path,
                                          const std::string& body = {},
                                          const std::string& type = "application/json") {
        const UniqueFd fd = connect_to(http_port_);
        EXPECT_TRUE(send_all(fd, method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                                     auth_header_ + "Content-Type: " + type +
                                     "\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\n\r\n" + body));
        std::string reply;
        char chunk[4096];
        for (ssize_t n; (n = ::recv(fd.get(), chunk, sizeof(chunk), 0)) > 0;)
            reply.append(chunk, n);
        const size_t body_at = reply.find("\r\n\r\n");
        last_reply_ = reply;
        if (!reply.starts_with("HTTP/1.") || body_at == std::string::npos) return {0, reply};
        return {std::stoul(reply.substr(9, 3)), reply.substr(body_at + 4)};
    }

    std::filesystem::path dir_;
    // Sent with every request and WebSocket: an administrator's API token unless changed.
    std::string auth_header_;
    std::string last_reply_;
    uint16_t http_port_ = 0;
    uint16_t gateway_port_ = 0;
    std::unique_ptr<ProcessRunner> server_;
    std::unique_ptr<GatewayProcess> gateway_;
};

// A lost gateway closing its sessions is the hub's unit test, a gateway coming back the
// viewer page's.
TEST_F(SignalServerTest, ADroppedViewerSocketEndsItsSession) {
    auto ws = std::make_unique<WsClient>(http_port_, auth_header_);
    const uint32_t consumer = open(*ws);
    ASSERT_NE(consumer, 0u);
    // The viewer's socket breaks without a closing handshake, as when a browser crashes.
    ws.reset();
    EXPECT_TRUE(gateway_->wait_for_log(
        "Got terminate session request for consumer id " + std::to_string(consumer), 5s));
    EXPECT_TRUE(server_->running());
}

// What the API answers depends on who asks: the administrator's token, bob's log-in cookie or
// nobody; what admits a request at all is the admission's unit test. Acknowledged changes outlive
// a crash of the server.
TEST_F(SignalServerTest, HttpApiAnswersEachAccountAndChangesOutliveAKill) {
    const auto added = account_command("user add bob --grant 'gw1/00001234/*'", "bob-password");
    ASSERT_TRUE(added.status && added.status->exited_with(0)) << added.err;
    const std::string admin = auth_header_;
    const std::string rear =
        R"({"gateway":"gw1","manet_addr":"00001234","camera":2,"key":"1032547698badcfe0123456789abcdef","name":"Rear"})";
    const auto status = [&](const std::string& who, const std::string& method,
                            const std::string& path, const std::string& body = {},
                            const std::string& type = "application/json") {
        auth_header_ = who;
        return http(method, path, body, type).first;
    };
    EXPECT_EQ(http("GET", "/"), std::make_pair(200u, std::string("<html>viewer</html>")));
    // Any web page the operator visits may send a plain-text POST or open a WebSocket here.
    EXPECT_EQ(status(admin, "POST", "/api/streams", rear, "text/plain"), 415u);
    WsClient foreign(http_port_, admin + "Origin: http://elsewhere.example\r\n");
    EXPECT_FALSE(foreign.wait_for([](const json&) { return true; }));  // not even the list
    EXPECT_FALSE(foreign.open());
    EXPECT_EQ(status("", "GET", "/api/streams"), 401u);
    EXPECT_EQ(status("", "POST", "/api/streams", rear), 401u);
    EXPECT_EQ(status("", "GET", "/"), 200u);  // the page, with its log-in form
    EXPECT_FALSE(WsClient(http_port_).open());

    ASSERT_EQ(status(admin, "POST", "/api/streams", rear), 201u) << last_reply_;
    EXPECT_TRUE(gateway_->wait_for_log("Add new stream with manet address 1234 and camera 2", 5s));
    EXPECT_EQ(json::parse(http("GET", "/api/streams").second)["streams"].size(), 2u);
    const auto [metrics_status, metrics] = http("GET", "/metrics");
    EXPECT_EQ(metrics_status, 200u);
    EXPECT_NE(metrics.find("norvane_gateway_connected{gateway=\"gw1\"} 1\n"), std::string::npos)
        << metrics;

    ASSERT_EQ(status("", "POST", "/api/login", R"({"user":"bob","password":"bob-password"})"),
              200u);
    const size_t cookie_at = last_reply_.find("norvane_session=");
    ASSERT_NE(cookie_at, std::string::npos) << last_reply_;
    const std::string bob = "Cookie: " + last_reply_.substr(cookie_at, 16 + 64) + "\r\n";
    const auto listed = [&] {
        auth_header_ = bob;
        const auto [code, body] = http("GET", "/api/streams");
        EXPECT_EQ(code, 200u) << body;
        EXPECT_EQ(body.find("\"key\""), std::string::npos) << body;
        std::vector<std::string> ids;
        const json list = json::parse(body);
        for (const json& stream : list["streams"]) ids.push_back(stream["id"]);
        return ids;
    };
    EXPECT_EQ(listed(), std::vector<std::string>{"gw1/00001234/2"});
    EXPECT_EQ(status(bob, "DELETE", "/api/streams/gw1/00001234/2"), 403u);
    {
        WsClient ws(http_port_, bob);
        const auto streams = ws.wait_for([](const json& m) { return m["type"] == "streams"; });
        ASSERT_TRUE(streams);
        EXPECT_EQ((*streams)["streams"].size(), 1u);
        ws.send({{"type", "open"}, {"stream", kStream}});
        const auto refused = ws.wait_for([](const json& m) { return m["type"] == "refused"; });
        ASSERT_TRUE(refused);
        EXPECT_EQ((*refused)["status"], "Not allowed");
    }

    // The added stream and bob's session were acknowledged, so they outlive a crash.
    server_->send_signal(SIGKILL);
    server_->wait(5s);
    start_server();
    EXPECT_EQ(listed(), std::vector<std::string>{"gw1/00001234/2"});
    EXPECT_NE(server_->out().find("Log in at http://127.0.0.1:"), std::string::npos);
    ASSERT_TRUE(server_->wait_for_output("Gateway gw1 connected", 10s)) << server_->out();
    EXPECT_EQ(status(admin, "DELETE", "/api/streams/gw1/00001234/2"), 200u);
    EXPECT_TRUE(gateway_->wait_for_log("Deleting stream with manet address 1234 and camera 2", 5s));
    EXPECT_EQ(status(admin, "DELETE", "/api/streams/gw1/00001234/2"), 404u);
}

TEST_F(SignalServerTest, ImpostorsOnTheGatewayPortAreNeitherBelievedNorDisplaceTheGateway) {
    WsClient ws(http_port_, auth_header_);
    const uint32_t consumer = open(ws);
    ASSERT_NE(consumer, 0u);
    EXPECT_TRUE(server_->wait_for_output(
        "audit: session_open stream=gw1/0000BEEF/1 consumer=" + std::to_string(consumer) +
            " viewer=1 user=token:test from=127.0.0.1:",
        5s));

    const UniqueFd stranger = connect_to(gateway_port_, "127.0.0.2");
    EXPECT_TRUE(server_->wait_for_output("127.0.0.2", 5s));
    EXPECT_NE(server_->out().find("refused: not an allowed source"), std::string::npos);
    // Without the key an impostor cannot read the challenge; it offers the viewer its own SDP
    // and guesses the answer. Another one stays silent.
    const UniqueFd guessing = connect_to(gateway_port_);
    const UniqueFd silent = connect_to(gateway_port_);
    namespace video = msgs::video;
    const auto offer =
        norvane::signal_server::frame_of(video::sdp_message{{}, "v=0 impostor", "offer"});
    const messgen::Dynamic<uint8_t> peer_msg{const_cast<uint8_t*>(offer.data()),
                                             static_cast<uint32_t>(offer.size())};
    auto frames =
        norvane::signal_server::frame_of(video::session_msg{{}, 0xBEEF, consumer, 1, peer_msg});
    const auto guess = norvane::signal_server::frame_of(
        video::session_response{{}, 0xBEEF, consumer, 255, -1, "No stream found"});
    frames.insert(frames.end(), guess.begin(), guess.end());
    ASSERT_TRUE(send_all(guessing, std::string(frames.begin(), frames.end())));

    EXPECT_TRUE(server_->wait_for_output("dropped before the proof: wrong answer", 5s));
    EXPECT_TRUE(
        server_->wait_for_output("dropped before the proof: no proof of the key within 1 s", 5s));
    EXPECT_FALSE(ws.wait_for([](const json& m) { return m["type"] != "streams"; }, 200ms));
    EXPECT_EQ(testing::occurrences(server_->out(), "Gateway gw1 disconnected"), 0u);
    EXPECT_EQ(testing::occurrences(gateway_->log(), "Got terminate session request"), 0u);
}

// Session limits, and the host names and origins admitted, are the hub's and the admission's
// unit tests; these limits are the sockets'.
TEST_F(SignalServerTest, HostileClientsMeetTheLimits) {
    // A client that never ends its headers loses its connection.
    const UniqueFd slow = connect_to(http_port_);
    ASSERT_TRUE(send_all(slow, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    char byte = 0;
    EXPECT_EQ(::recv(slow.get(), &byte, 1, 0), 0);

    // A message in fragments, each under the bound, is cut once the whole passes it.
    WsClient fragments(http_port_, auth_header_);
    ASSERT_TRUE(fragments.open());
    // One account does not take every connection.
    const WsClient second(http_port_, auth_header_), third(http_port_, auth_header_),
        fourth(http_port_, auth_header_);
    EXPECT_TRUE(fourth.open());
    EXPECT_FALSE(WsClient(http_port_, auth_header_).open());
    EXPECT_TRUE(
        server_->wait_for_output("limit reached: 4 websocket connections of user token:test", 5s));
    fragments.send_fragments(100);
    EXPECT_FALSE(fragments.wait_for([](const json& m) { return m["type"] == "error"; }, 5s));
    EXPECT_FALSE(fragments.open());
    EXPECT_TRUE(server_->running());
}

}  // namespace
}  // namespace kelvra
