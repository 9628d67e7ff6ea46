#include "kelvra/norvane/signalling/signalling_client.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using testing::Bytes;
using testing::SignallingPeer;

// Replaces the default logger for its lifetime and keeps every line logged through it.
class LogCapture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogCapture() : previous_(spdlog::default_logger()), sink_(std::make_shared<Sink>()) {
        auto logger = std::make_shared<spdlog::logger>("log_capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->lines;
    }
    // Lines at `level` whose text equals `text` exactly.
    size_t count(spdlog::level::level_enum level, const std::string& text) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.level == level && line.text == text ? 1 : 0;
        return n;
    }
    // Lines whose text starts with `prefix`, at any level.
    size_t count_prefix(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.text.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        std::mutex lines_mutex;
        std::vector<Line> lines;

    protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(lines_mutex);
            lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}
    };

    std::shared_ptr<spdlog::logger> previous_;
    std::shared_ptr<Sink> sink_;
};

constexpr uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
constexpr int64_t kSecond = 1'000'000;

struct RecordingHandler final : SingallingClientHandler {
    void on_signalling_message(const messgen::MessageInfo& info) override {
        messages.push_back({info.type_id, Bytes(info.payload, info.payload + info.size)});
        if (on_message) on_message(info);
    }
    void on_connect() override { ++connects; }
    void on_disconnect() override { ++disconnects; }

    std::vector<testing::ReceivedFrame> messages;
    std::function<void(const messgen::MessageInfo&)> on_message;
    int connects = 0;
    int disconnects = 0;
};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SignallingClientTest : public ::testing::Test {
protected:
    SignallingClientTest() { client_.set_handler(&handler_); }

    static manet::ManetConfig keyed_manet() {
        manet::ManetConfig manet;
        std::copy(std::begin(kKey), std::end(kKey), manet.key);
        return manet;
    }

    // One loop turn at the simulated time `now_`: poll the client's socket for at most
    // `wait_ms` of real time, then let it handle the result.
    void turn(int wait_ms = 1000) {
        pollfd entry{};
        client_.set_pollfd(entry);
        ::poll(&entry, 1, entry.fd >= 0 ? wait_ms : 0);
        client_.update(entry, now_);
    }

    template <typename Pred>
    bool turn_until(Pred pred, int max_turns = 20) {
        for (int i = 0; i < max_turns && !pred(); ++i) turn();
        return pred();
    }

    void connect() {
        turn(0);
        ASSERT_TRUE(client_.connecting());
        ASSERT_TRUE(peer_.accept());
        ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    }

    // Turns until the handler holds `n` messages.
    bool deliver(size_t n) {
        return turn_until([&] { return handler_.messages.size() >= n; });
    }

    LogCapture log_;
    SignallingPeer peer_{kKey};
    const manet::ManetConfig manet_ = keyed_manet();
    SignallingClient client_{"127.0.0.1", peer_.port_text(), &manet_};
    RecordingHandler handler_;
    int64_t now_ = 1'000 * kSecond;
};

TEST_F(SignallingClientTest, ConnectsWithoutBlockingAndRefusesToSendUntilConnected) {
    pollfd entry{};
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.fd, -1);

    turn(0);
    EXPECT_EQ(log_.count(info, "Trying to connect to: 127.0.0.1:" + peer_.port_text()), 1u);
    ASSERT_TRUE(client_.connecting());
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.fd, client_.socket_fd());
    EXPECT_EQ(entry.events, POLLOUT | POLLERR | POLLHUP);

    const uint8_t byte = 0;
    EXPECT_FALSE(client_.send(&byte, 1));
    EXPECT_EQ(log_.count(err, "Writing to not connected socket!"), 1u);

    int keepalive = 0;
    socklen_t len = sizeof(keepalive);
    ASSERT_EQ(getsockopt(client_.socket_fd(), SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len), 0);
    EXPECT_EQ(keepalive, 1);

    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    EXPECT_FALSE(client_.connecting());
    EXPECT_EQ(handler_.connects, 1);
    EXPECT_EQ(log_.count(info, "Connected to signalling server!"), 1u);
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.events, POLLIN | POLLERR | POLLHUP);
}

TEST_F(SignallingClientTest, SendsBareFramesAlsoFromInsideTheHandler) {
    connect();
    const Bytes reply = SignallingPeer::terminate_session_frame(77, 2);
    handler_.on_message = [&](const messgen::MessageInfo&) {
        EXPECT_TRUE(client_.send(reply.data(), reply.size()));
    };
    ASSERT_TRUE(peer_.send_session_request(0x0a0b0c0d, 77, 2));
    ASSERT_TRUE(deliver(1));

    const auto echoed = peer_.wait_for<msgs::video::terminate_session>();
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->consumer_id, 77u);
    EXPECT_EQ(echoed->camera_type, 2);
    EXPECT_EQ(peer_.pending_bytes(), 0u);
}

TEST_F(SignallingClientTest, RecordSplitAcrossReadsIsDeliveredOnceComplete) {
    connect();
    const Bytes frame = SignallingPeer::session_request_frame(1, 2, 3);
    const Bytes wire = SignallingPeer::with_length_prefix(peer_.seal(frame));

    // Two bytes of the length, then most of the record, then the rest.
    const std::vector<size_t> cuts = {2, wire.size() - 5, wire.size()};
    size_t from = 0;
    for (size_t cut : cuts) {
        ASSERT_TRUE(peer_.send_bytes(Bytes(wire.begin() + from, wire.begin() + cut)));
        const size_t expected = from + (cut - from);
        ASSERT_TRUE(turn_until(
            [&] { return client_.buffered_bytes() == expected || !handler_.messages.empty(); }));
        from = cut;
    }
    ASSERT_EQ(handler_.messages.size(), 1u);
    EXPECT_EQ(handler_.messages[0].type_id, msgs::video::session_request::TYPE);
    EXPECT_EQ(handler_.messages[0].payload, Bytes(frame.begin() + 5, frame.end()));
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    // Only the read that left the body incomplete found a length prefix to wait on.
    EXPECT_EQ(log_.count(info, "Packet is not fully received yet"), 1u);
}

TEST_F(SignallingClientTest, RecordsOfOneReadAreDeliveredInOrder) {
    connect();
    const Bytes first = SignallingPeer::session_request_frame(1, 10, 0);
    const Bytes second = SignallingPeer::terminate_session_frame(10, 0);
    const Bytes third = SignallingPeer::session_request_frame(1, 11, 0);
    // Two frames in one record, then a second record, all in one write.
    ASSERT_TRUE(peer_.send_bytes(concat({
        SignallingPeer::with_length_prefix(peer_.seal(concat({first, second}))),
        SignallingPeer::with_length_prefix(peer_.seal(third)),
    })));
    ASSERT_TRUE(deliver(3));
    ASSERT_EQ(handler_.messages.size(), 3u);
    EXPECT_EQ(handler_.messages[0].payload, Bytes(first.begin() + 5, first.end()));
    EXPECT_EQ(handler_.messages[1].payload, Bytes(second.begin() + 5, second.end()));
    EXPECT_EQ(handler_.messages[2].payload, Bytes(third.begin() + 5, third.end()));
    EXPECT_EQ(client_.buffered_bytes(), 0u);
}

TEST_F(SignallingClientTest, BadRecordsAreDroppedOneByOne) {
    connect();
    peer_.set_addresses(0x0a0b0c0d, 0x01020304);
    Bytes tampered = peer_.seal(SignallingPeer::terminate_session_frame(1, 1));
    tampered.back() ^= 0x01;
    const Bytes good = SignallingPeer::terminate_session_frame(2, 2);
    ASSERT_TRUE(peer_.send_bytes(concat({
        SignallingPeer::with_length_prefix(tampered),
        SignallingPeer::with_length_prefix({}),            // empty record
        SignallingPeer::with_length_prefix({0xaa, 0xbb}),  // shorter than an address
        SignallingPeer::with_length_prefix(peer_.seal(good)),
    })));
    ASSERT_TRUE(deliver(1));
    ASSERT_EQ(handler_.messages.size(), 1u);
    EXPECT_EQ(handler_.messages[0].payload, Bytes(good.begin() + 5, good.end()));
    EXPECT_EQ(log_.count(err, "ERROR: handling packet from 168496141: AES-GCM function error"), 1u);
    EXPECT_EQ(
        log_.count(err,
                   "ERROR: handling packet from 0: Input buffer is smaller than MAPacket header"),
        2u);
}

TEST_F(SignallingClientTest, PlainRecordIsAcceptedAlthoughAKeyIsSet) {
    connect();
    const Bytes frame = SignallingPeer::session_request_frame(5, 6, 7);
    ASSERT_TRUE(peer_.send_plain(frame));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(handler_.messages[0].payload, Bytes(frame.begin() + 5, frame.end()));
}

TEST_F(SignallingClientTest, StrayBytesAfterTheLastFrameAreReportedAndDropped) {
    connect();
    const Bytes a = SignallingPeer::terminate_session_frame(1, 1);
    const Bytes b = SignallingPeer::terminate_session_frame(2, 2);
    ASSERT_TRUE(peer_.send_frames(concat({a, b, Bytes{3, 0, 0}})));
    ASSERT_TRUE(deliver(2));
    EXPECT_EQ(log_.count(err, "ERROR: parsed bytes 20 != packet payload size 23"), 1u);
    EXPECT_EQ(client_.buffered_bytes(), 0u);
}

TEST_F(SignallingClientTest, ServerCloseReconnectsNotBeforeOneSecond) {
    connect();
    const int attempts = static_cast<int>(log_.count_prefix("Trying to connect to: "));
    peer_.close_connection();
    ASSERT_TRUE(turn_until([&] { return !client_.connected(); }));
    EXPECT_EQ(log_.count(warn, "Signalling socket is closed by remote peer"), 1u);
    EXPECT_EQ(handler_.disconnects, 0);
    EXPECT_EQ(client_.socket_fd(), -1);

    const int64_t closed_at = now_;
    now_ = closed_at + kSecond - 1;
    turn();
    EXPECT_FALSE(client_.connecting());
    EXPECT_EQ(log_.count_prefix("Trying to connect to: "), static_cast<size_t>(attempts));

    now_ = closed_at + kSecond;
    turn(0);
    EXPECT_TRUE(client_.connecting());
    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    EXPECT_EQ(handler_.connects, 2);
}

TEST_F(SignallingClientTest, ConnectionResetIsAReadFailure) {
    connect();
    peer_.reset_connection();
    ASSERT_TRUE(turn_until([&] { return !client_.connected(); }));
    EXPECT_EQ(log_.count(err, "Failed to read from signalling socket. Connection reset by peer"),
              1u);
    EXPECT_EQ(client_.socket_fd(), -1);
    const uint8_t byte = 0;
    EXPECT_FALSE(client_.send(&byte, 1));

    now_ += kSecond;
    turn(0);
    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
}

// Poll results are taken as given: an error on an established connection is a disconnect, one
// on a pending connect a failed attempt; both retry a second later.
TEST_F(SignallingClientTest, PollErrorsEndTheConnectionOrTheAttempt) {
    connect();
    client_.update(pollfd{client_.socket_fd(), POLLIN, POLLHUP}, now_);
    EXPECT_EQ(log_.count(warn, "Disconnected from signalling server!"), 1u);
    EXPECT_EQ(handler_.disconnects, 1);
    EXPECT_EQ(client_.socket_fd(), -1);

    now_ += kSecond;
    turn(0);
    ASSERT_TRUE(client_.connecting());
    client_.update(pollfd{client_.socket_fd(), POLLOUT, POLLOUT | POLLERR}, now_);
    EXPECT_EQ(log_.count(warn, "Connection attempt to signalling server failed"), 1u);
    EXPECT_FALSE(client_.connecting());
    EXPECT_FALSE(client_.connected());
    EXPECT_EQ(handler_.connects, 1);
    EXPECT_EQ(handler_.disconnects, 1);
}

TEST_F(SignallingClientTest, RecordThatCanNeverFitDropsTheConnectionAndTheBuffer) {
    connect();
    // The largest record that fits is delivered: 4 + 16380 bytes.
    const size_t max_payload = SignallingClient::kReceiveBufferSize - 4 - 10 - 5;
    Bytes big(5 + max_payload, 0x42);
    big[0] = msgs::video::video_frame::TYPE;
    messgen::store_le<uint32_t>(big.data() + 1, static_cast<uint32_t>(max_payload));
    ASSERT_TRUE(peer_.send_plain(big));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(handler_.messages[0].payload.size(), max_payload);

    // A complete record ahead of the oversized one is still delivered.
    const Bytes before = SignallingPeer::terminate_session_frame(1, 1);
    Bytes oversized_prefix(4);
    messgen::store_le<uint32_t>(oversized_prefix.data(), 16381);
    ASSERT_TRUE(peer_.send_bytes(concat({SignallingPeer::with_length_prefix(peer_.seal(before)),
                                         oversized_prefix, Bytes(100, 0)})));
    ASSERT_TRUE(turn_until([&] { return !client_.connected(); }));
    EXPECT_EQ(handler_.messages.size(), 2u);
    EXPECT_EQ(log_.count(err,
                         "Signalling record of 16381 bytes exceeds the receive buffer of 16384 "
                         "bytes, dropping the connection"),
              1u);
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    EXPECT_EQ(client_.socket_fd(), -1);
    EXPECT_TRUE(peer_.wait_for_close());

    // Reconnects after the usual second; the largest length prefix does not overflow.
    now_ += kSecond;
    turn(0);
    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    ASSERT_TRUE(peer_.send_bytes({0xff, 0xff, 0xff, 0xff}));
    ASSERT_TRUE(turn_until([&] { return !client_.connected(); }));
    EXPECT_EQ(log_.count_prefix("Signalling record of 4294967295 bytes exceeds"), 1u);
}

TEST_F(SignallingClientTest, IncompleteRecordOfALostConnectionIsDiscardedOnReconnect) {
    connect();
    const Bytes wire = SignallingPeer::with_length_prefix(
        peer_.seal(SignallingPeer::terminate_session_frame(1, 1)));
    ASSERT_TRUE(peer_.send_bytes(Bytes(wire.begin(), wire.begin() + 10)));
    ASSERT_TRUE(turn_until([&] { return client_.buffered_bytes() == 10; }));
    peer_.close_connection();
    ASSERT_TRUE(turn_until([&] { return !client_.connected(); }));

    now_ += kSecond;
    turn(0);
    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    EXPECT_EQ(log_.count(
                  warn, "Discarding 10 bytes of an incomplete record from the previous connection"),
              1u);

    const Bytes fresh = SignallingPeer::terminate_session_frame(2, 2);
    ASSERT_TRUE(peer_.send_frames(fresh));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(handler_.messages[0].payload, Bytes(fresh.begin() + 5, fresh.end()));
    EXPECT_EQ(log_.count_prefix("ERROR: handling packet"), 0u);
}

TEST(SignallingClientNoServer, RetriesEverySecondNotFaster) {
    LogCapture log;
    // A bound socket that never listens: every connection attempt is refused.
    UniqueFd closed_port(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closed_port.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(::getsockname(closed_port.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);

    manet::ManetConfig manet;
    SignallingClient client("127.0.0.1", std::to_string(ntohs(addr.sin_port)), &manet);
    RecordingHandler handler;
    client.set_handler(&handler);

    // Five simulated seconds in 50 ms turns; a refused connect is reported within one turn.
    const int64_t start = 1'000 * kSecond;
    std::vector<int64_t> attempts;
    for (int64_t now = start; now <= start + 5 * kSecond; now += 50'000) {
        pollfd entry{};
        client.set_pollfd(entry);
        ::poll(&entry, 1, entry.fd >= 0 ? 1000 : 0);
        const size_t before = log.count_prefix("Trying to connect to: ");
        client.update(entry, now);
        if (log.count_prefix("Trying to connect to: ") > before) attempts.push_back(now);
    }
    ASSERT_GE(attempts.size(), 4u);
    EXPECT_LE(attempts.size(), 6u);
    EXPECT_EQ(attempts.front(), start);
    for (size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], kSecond);
        EXPECT_LE(attempts[i] - attempts[i - 1], kSecond + 100'000);
    }
    EXPECT_EQ(log.count(warn, "Connection attempt to signalling server failed") +
                  log.count_prefix("Connect call failed! "),
              attempts.size() - (client.connecting() ? 1 : 0));
    EXPECT_EQ(handler.connects, 0);
}

TEST(SignallingClientNoServer, UnresolvableHostRetriesAfterOneSecond) {
    LogCapture log;
    manet::ManetConfig manet;
    // An unknown service name fails in the resolver without asking any name server.
    SignallingClient client("127.0.0.1", "no-such-service", &manet);
    pollfd entry{};
    client.set_pollfd(entry);
    client.update(entry, 10 * kSecond);
    EXPECT_EQ(log.count_prefix("Failed to get addrinfo! "), 1u);
    EXPECT_FALSE(client.connecting());
    client.update(entry, 11 * kSecond - 1);
    EXPECT_EQ(log.count_prefix("Trying to connect to: "), 1u);
    client.update(entry, 11 * kSecond);
    EXPECT_EQ(log.count_prefix("Trying to connect to: "), 2u);
}

}  // namespace
}  // namespace kelvra::norvane
