#include "kelvra/norvane/signalling/signalling_client.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "support/log_capture.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane {
namespace {

using testing::Bytes;
using testing::concat;
using Peer = testing::SignallingPeer;

constexpr uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
constexpr int64_t kSecond = 1'000'000;

// The payload the handler sees for a bare frame: everything after type and length.
Bytes body(const Bytes& frame) {
    return Bytes(frame.begin() + 5, frame.end());
}

struct RecordingHandler final : SingallingClientHandler {
    void on_signalling_message(const messgen::MessageInfo& info) override {
        types.push_back(info.type_id);
        messages.push_back(Bytes(info.payload, info.payload + info.size));
    }
    void on_connect() override { ++connects; }
    void on_disconnect() override { ++disconnects; }

    std::vector<uint8_t> types;
    std::vector<Bytes> messages;
    int connects = 0;
    int disconnects = 0;
};

manet::ManetConfig keyed_manet() {
    manet::ManetConfig manet;
    std::copy(std::begin(kKey), std::end(kKey), manet.key);
    return manet;
}

class SignallingClientTest : public ::testing::Test {
protected:
    SignallingClientTest() { client_.set_handler(&handler_); }

    // One loop turn at the simulated time `now_`: poll the client's socket for at most
    // `wait_ms` of real time, then let it handle the result.
    void turn(int wait_ms = 1000) {
        pollfd entry{};
        client_.set_pollfd(entry);
        ::poll(&entry, 1, entry.fd >= 0 ? wait_ms : 0);
        client_.update(entry, now_);
    }
    template <typename Pred>
    bool turn_until(Pred pred) {
        for (int i = 0; i < 20 && !pred(); ++i) turn();
        return pred();
    }
    bool deliver(size_t n) {
        return turn_until([&] { return handler_.messages.size() >= n; });
    }
    bool disconnected() {
        return turn_until([&] { return !client_.connected(); });
    }

    void connect() {
        turn(0);
        ASSERT_TRUE(client_.connecting());
        ASSERT_TRUE(peer_.accept());
        ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    }
    // A sealed record with its length prefix, as on the wire.
    Bytes sealed(const Bytes& frames) { return Peer::with_length_prefix(peer_.seal(frames)); }

    testing::LogCapture log_;
    Peer peer_{kKey};
    const manet::ManetConfig manet_ = keyed_manet();
    SignallingClient client_{"127.0.0.1", peer_.port_text(), &manet_};
    RecordingHandler handler_;
    int64_t now_ = 1'000 * kSecond;
    const std::string trying_ = "Trying to connect to: 127.0.0.1:" + peer_.port_text();
};

TEST_F(SignallingClientTest, ConnectsWithoutBlockingAndRefusesToSendUntilConnected) {
    turn(0);
    EXPECT_EQ(log_.count("info", trying_), 1);
    ASSERT_TRUE(client_.connecting());
    pollfd entry{};
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.events, POLLOUT | POLLERR | POLLHUP);
    const Bytes frame = Peer::terminate_session_frame(77, 2);
    EXPECT_FALSE(client_.send(frame.data(), frame.size()));
    EXPECT_EQ(log_.count("error", "Writing to not connected socket!"), 1);

    ASSERT_TRUE(peer_.accept());
    ASSERT_TRUE(turn_until([&] { return client_.connected(); }));
    EXPECT_EQ(handler_.connects, 1);
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.events, POLLIN | POLLERR | POLLHUP);
    EXPECT_TRUE(client_.send(frame.data(), frame.size()));
    const auto echoed = peer_.wait_for<msgs::video::terminate_session>();
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->consumer_id, 77u);
}

TEST_F(SignallingClientTest, RecordSplitAcrossReadsIsDeliveredOnceComplete) {
    connect();
    const Bytes frame = Peer::session_request_frame(1, 2, 3);
    const Bytes wire = sealed(frame);
    // Two bytes of the length, then most of the record, then the rest.
    size_t from = 0;
    for (size_t cut : {size_t{2}, wire.size() - 5, wire.size()}) {
        ASSERT_TRUE(peer_.send_bytes(Bytes(wire.begin() + from, wire.begin() + cut)));
        ASSERT_TRUE(turn_until(
            [&] { return client_.buffered_bytes() == cut || !handler_.messages.empty(); }));
        from = cut;
    }
    ASSERT_EQ(handler_.messages.size(), 1u);
    EXPECT_EQ(handler_.types[0], msgs::video::session_request::TYPE);
    EXPECT_EQ(handler_.messages[0], body(frame));
    EXPECT_EQ(client_.buffered_bytes(), 0u);
}

TEST_F(SignallingClientTest, RecordsOfOneReadAreDeliveredInOrderAndBadOnesSkipped) {
    connect();
    peer_.set_addresses(0x0a0b0c0d, 0x01020304);
    const Bytes first = Peer::session_request_frame(1, 10, 0);
    const Bytes second = Peer::terminate_session_frame(10, 0);
    const Bytes third = Peer::session_request_frame(1, 11, 0);
    const Bytes fourth = Peer::terminate_session_frame(11, 0);
    Bytes bad_tag = sealed(Peer::terminate_session_frame(1, 1));
    bad_tag.back() ^= 0x01;
    // Two frames in one record, a bad tag, an empty and a too-short record, a plain record
    // (accepted although a key is set), and a frame followed by stray bytes; all in one write.
    ASSERT_TRUE(peer_.send_bytes(concat(
        {sealed(concat({first, second})), bad_tag, Peer::with_length_prefix({}),
         Peer::with_length_prefix({0xaa, 0xbb}), Peer::with_length_prefix(peer_.plain(third)),
         sealed(concat({fourth, {3, 0, 0}}))})));
    ASSERT_TRUE(deliver(4));
    EXPECT_EQ(handler_.messages,
              (std::vector<Bytes>{body(first), body(second), body(third), body(fourth)}));
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    EXPECT_EQ(log_.count("error", "ERROR: handling packet from 168496141: AES-GCM function error"),
              1);
    EXPECT_EQ(log_.count("error",
                         "ERROR: handling packet from 0: Input buffer is smaller than MAPacket "
                         "header"),
              2);
    EXPECT_EQ(log_.count("error", "ERROR: parsed bytes 10 != packet payload size 13"), 1);
}

TEST_F(SignallingClientTest, LostConnectionReconnectsAfterASecondWithoutItsStaleBytes) {
    connect();
    const Bytes wire = sealed(Peer::terminate_session_frame(1, 1));
    ASSERT_TRUE(peer_.send_bytes(Bytes(wire.begin(), wire.begin() + 10)));
    ASSERT_TRUE(turn_until([&] { return client_.buffered_bytes() == 10; }));
    peer_.close_connection();
    ASSERT_TRUE(disconnected());
    EXPECT_EQ(log_.count("warning", "Signalling socket is closed by remote peer"), 1);
    EXPECT_EQ(client_.socket_fd(), -1);

    now_ += kSecond - 1;
    turn();
    EXPECT_FALSE(client_.connecting());
    EXPECT_EQ(log_.count("info", trying_), 1);
    now_ += 1;
    connect();
    EXPECT_EQ(handler_.connects, 2);
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    EXPECT_EQ(
        log_.count("warning",
                   "Discarding 10 bytes of an incomplete record from the previous connection"),
        1);
    const Bytes fresh = Peer::terminate_session_frame(2, 2);
    ASSERT_TRUE(peer_.send_frames(fresh));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(handler_.messages[0], body(fresh));
    EXPECT_EQ(log_.count_level("error"), 0);

    // Poll errors are taken as given: a disconnect when established, a failed attempt while
    // connecting.
    client_.update(pollfd{client_.socket_fd(), POLLIN, POLLHUP}, now_);
    EXPECT_EQ(log_.count("warning", "Disconnected from signalling server!"), 1);
    EXPECT_EQ(handler_.disconnects, 1);
    now_ += kSecond;
    turn(0);
    ASSERT_TRUE(client_.connecting());
    client_.update(pollfd{client_.socket_fd(), POLLOUT, POLLOUT | POLLERR}, now_);
    EXPECT_EQ(log_.count("warning", "Connection attempt to signalling server failed"), 1);
    EXPECT_FALSE(client_.connecting() || client_.connected());
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
    EXPECT_EQ(handler_.messages[0].size(), max_payload);

    // A complete record ahead of the oversized one is still delivered.
    Bytes oversized(4);
    messgen::store_le<uint32_t>(oversized.data(), 16381);
    ASSERT_TRUE(peer_.send_bytes(
        concat({sealed(Peer::terminate_session_frame(1, 1)), oversized, Bytes(100, 0)})));
    ASSERT_TRUE(disconnected());
    EXPECT_EQ(handler_.messages.size(), 2u);
    EXPECT_EQ(log_.count("error",
                         "Signalling record of 16381 bytes exceeds the receive buffer of 16384 "
                         "bytes, dropping the connection"),
              1);
    EXPECT_EQ(client_.buffered_bytes(), 0u);
    EXPECT_TRUE(peer_.wait_for_close());

    // The largest length prefix does not overflow.
    now_ += kSecond;
    connect();
    ASSERT_TRUE(peer_.send_bytes({0xff, 0xff, 0xff, 0xff}));
    ASSERT_TRUE(disconnected());
    EXPECT_EQ(log_.count("error",
                         "Signalling record of 4294967295 bytes exceeds the receive buffer of "
                         "16384 bytes, dropping the connection"),
              1);
}

TEST_F(SignallingClientTest, WithoutServerRetriesEverySecondNotFaster) {
    peer_.stop_listening();
    // Five simulated seconds in 50 ms turns; a refused connect is reported within one turn.
    const int64_t start = now_;
    std::vector<int64_t> attempts;
    for (; now_ <= start + 5 * kSecond; now_ += 50'000) {
        const int before = log_.count("info", trying_);
        turn();
        if (log_.count("info", trying_) > before) attempts.push_back(now_);
    }
    ASSERT_GE(attempts.size(), 4u);
    EXPECT_LE(attempts.size(), 6u);
    EXPECT_EQ(attempts.front(), start);
    for (size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], kSecond);
        EXPECT_LE(attempts[i] - attempts[i - 1], kSecond + 100'000);
    }
    EXPECT_EQ(handler_.connects, 0);
}

// A server that stops reading: the socket takes what its buffers hold and then part of a frame.
TEST_F(SignallingClientTest, AShortWriteKeepsTheRestOfTheFrameAndSendsItFirst) {
    connect();
    const Bytes offer(1000, 'o');
    std::vector<Bytes> sent;
    const auto send_next = [&] {
        sent.push_back(
            Peer::session_msg_frame(0xBEEF, static_cast<uint32_t>(sent.size()), 1, offer));
        return client_.send(sent.back().data(), sent.back().size());
    };
    while (client_.unsent_bytes() == 0 && sent.size() < 50'000) ASSERT_TRUE(send_next());
    ASSERT_GT(client_.unsent_bytes(), 0u);
    EXPECT_NE(log_.text().find("error Not all the data written to socket!"), std::string::npos);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_next());  // they wait behind the rest
    pollfd entry{};
    client_.set_pollfd(entry);
    EXPECT_EQ(entry.events, POLLIN | POLLOUT | POLLERR | POLLHUP);

    // The server reads again: every frame arrives whole and in order.
    for (int i = 0; i < 3000 && peer_.frames().size() < sent.size(); ++i) {
        peer_.poll_input(std::chrono::milliseconds(5));
        turn(5);
    }
    ASSERT_EQ(peer_.frames().size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(peer_.frames()[i].payload, body(sent[i])) << "frame " << i;
    }
    EXPECT_EQ(client_.unsent_bytes(), 0u);
    EXPECT_EQ(peer_.pending_bytes(), 0u);
}

TEST_F(SignallingClientTest, AServerThatNeverReadsIsDroppedOnceTheWaitingBytesPassTheBound) {
    connect();
    const Bytes offer(4000, 'o');
    const Bytes frame = Peer::session_msg_frame(0xBEEF, 1, 1, offer);
    int sends = 0;
    while (client_.send(frame.data(), frame.size()) && ++sends < 100'000) {
    }
    EXPECT_EQ(client_.unsent_bytes(), 0u);
    EXPECT_FALSE(client_.connected());
    EXPECT_EQ(handler_.disconnects, 1);
    EXPECT_NE(log_.text().find("error Signalling server is not reading: "), std::string::npos);
    // Reconnects a second later, with nothing of the old connection's frames.
    now_ += kSecond;
    connect();
    const Bytes next = Peer::terminate_session_frame(5, 1);
    peer_.clear_frames();
    ASSERT_TRUE(client_.send(next.data(), next.size()));
    const auto echoed = peer_.wait_for<msgs::video::terminate_session>();
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->consumer_id, 5u);
}

TEST_F(SignallingClientTest, ClearRecordsAreRefusedOnlyWhenEncryptionIsRequired) {
    connect();
    const Bytes frame = Peer::session_request_frame(1, 2, 3);
    ASSERT_TRUE(peer_.send_plain(frame));
    ASSERT_TRUE(deliver(1));
    client_.set_require_encryption(true);
    ASSERT_TRUE(peer_.send_plain(frame));
    ASSERT_TRUE(peer_.send_frames(frame));
    ASSERT_TRUE(deliver(2));
    EXPECT_EQ(handler_.messages.size(), 2u);
    EXPECT_EQ(
        log_.count("error",
                   "ERROR: handling packet from 0: clear record refused, encryption is required"),
        1);
}

}  // namespace
}  // namespace kelvra::norvane
