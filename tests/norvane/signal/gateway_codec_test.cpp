// The records a gateway reads from the server and the frames the server reads from a gateway.

#include "signal/gateway_codec.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "kelvra/manet/packetizer.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane::signal_server {
namespace {

const Key kKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

Bytes terminate_frame(uint32_t consumer) {
    return testing::SignallingPeer::terminate_session_frame(consumer, 1);
}

// Opens a record as the gateway does: length prefix, then the envelope under the same key.
Bytes open_record(const Bytes& record, const Key& key) {
    EXPECT_GE(record.size(), 4u);
    EXPECT_EQ(messgen::load_le<uint32_t>(record.data()), record.size() - 4);
    Bytes storage(8192);
    Slice<uint8_t> plaintext{storage.data(), 0, storage.size()};
    manet::Packetizer packetizer(plaintext);
    packetizer.set_key(key.data());
    manet::MAPacket packet;
    if (packetizer.parse({record.data() + 4, record.size() - 4}, packet) !=
        manet::Packetizer::kOk) {
        return {};
    }
    return Bytes(packet.payload.begin(), packet.payload.end());
}

TEST(SignalGatewayCodec, SealedRecordsOpenOnlyWithTheGatewaysKey) {
    RecordSealer sealer(kKey, 0x0A0B0C0D);
    const Bytes frames = testing::concat({terminate_frame(5), terminate_frame(6)});
    const auto record = sealer.seal(frames);
    ASSERT_TRUE(record);
    EXPECT_EQ(open_record(*record, kKey), frames);
    // Nothing of the frames travels in clear.
    EXPECT_EQ(std::search(record->begin(), record->end(), frames.begin(), frames.begin() + 9),
              record->end());
    Key other = kKey;
    other[0] ^= 1;
    EXPECT_TRUE(open_record(*record, other).empty());
}

TEST(SignalGatewayCodec, RefusesRecordsTheGatewayCouldNotOpen) {
    RecordSealer sealer(kKey, 0);
    EXPECT_TRUE(sealer.seal(Bytes(RecordSealer::kMaxFramesSize)));
    EXPECT_FALSE(sealer.seal(Bytes(RecordSealer::kMaxFramesSize + 1)));
}

TEST(SignalGatewayCodec, FramesSplitAnywhereAreReassembled) {
    const Bytes stream =
        testing::concat({terminate_frame(1), terminate_frame(2), terminate_frame(3)});
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        FrameReader reader;
        std::vector<uint32_t> consumers;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            ASSERT_TRUE(reader.feed(stream.data() + at, n, [&](const messgen::MessageInfo& info) {
                EXPECT_EQ(info.type_id, msgs::video::terminate_session::TYPE);
                consumers.push_back(messgen::load_le<uint32_t>(info.payload));
            }));
        }
        EXPECT_EQ(consumers, (std::vector<uint32_t>{1, 2, 3})) << "chunk " << chunk;
        EXPECT_EQ(reader.pending(), 0u);
    }
}

TEST(SignalGatewayCodec, OversizedFrameHeaderIsAnError) {
    FrameReader reader;
    Bytes header(5);
    header[0] = 3;
    messgen::store_le<uint32_t>(header.data() + 1, FrameReader::kMaxFrameSize + 1);
    int frames = 0;
    EXPECT_FALSE(reader.feed(header.data(), header.size(), [&](const auto&) { ++frames; }));
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(reader.pending(), 0u);
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
