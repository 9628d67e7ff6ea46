// The key check of a new gateway connection: only the answer naming the secret consumer proves
// the key, and the first wrong answer ends the check, since guesses are cheap.

#include "signal/gateway_challenge.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::norvane::signal_server {
namespace {

namespace video = msgs::video;

using testing::info_of;

// Every draw differs from the ones before.
GatewayChallenge::Random counting_random() {
    return [call = 0u](uint8_t* bytes, size_t size) mutable {
        ++call;
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(call * 16 + i);
        return true;
    };
}

GatewayChallenge make(const GatewayChallenge::Taken& taken = [](uint32_t, uint8_t) {
    return false;
}) {
    auto challenge = GatewayChallenge::make(counting_random(), taken);
    EXPECT_TRUE(challenge);
    return *challenge;
}

TEST(SignalGatewayChallenge, AsksForAFreshConsumerOnAnAddressWithoutStream) {
    const GatewayChallenge first = make();
    messgen::OwnedArena arena(64);
    video::session_request request;
    const Bytes frame = first.request();
    ASSERT_GE(request.parse(info_of(frame), arena), 0);
    EXPECT_EQ(request.manet_addr, first.manet_addr());
    EXPECT_EQ(request.consumer_id, first.consumer());
    EXPECT_EQ(request.camera_type, 255);
    EXPECT_NE(first.manet_addr(), first.consumer());

    // An address the gateway may serve is drawn again.
    const GatewayChallenge second =
        make([&](uint32_t addr, uint8_t) { return addr == first.manet_addr(); });
    EXPECT_NE(second.manet_addr(), first.manet_addr());

    EXPECT_FALSE(GatewayChallenge::make([](uint8_t*, size_t) { return false; },
                                        [](uint32_t, uint8_t) { return false; }));
    EXPECT_FALSE(GatewayChallenge::make(counting_random(), [](uint32_t, uint8_t) { return true; }));
    uint8_t a[8] = {};
    uint8_t b[8] = {};
    ASSERT_TRUE(GatewayChallenge::secure_random(a, sizeof(a)));
    ASSERT_TRUE(GatewayChallenge::secure_random(b, sizeof(b)));
    EXPECT_NE(0, std::memcmp(a, b, sizeof(a)));
}

TEST(SignalGatewayChallenge, OnlyTheAnswerNamingTheSecretConsumerProvesTheKey) {
    struct Case {
        const char* what;
        int consumer_delta;
        int addr_delta;
        int8_t result;
        GatewayChallenge::Verdict verdict;
        bool opened;
    };
    using V = GatewayChallenge::Verdict;
    const Case cases[] = {
        {"the gateway's refusal", 0, 0, -1, V::proven, false},
        {"a session opened after all", 0, 0, 0, V::proven, true},
        {"a guessed consumer", 1, 0, -1, V::failed, false},
        {"another address", 0, 1, -1, V::failed, false},
    };
    for (const Case& c : cases) {
        GatewayChallenge challenge = make();
        // Reports that come before the answer wait, and are not believed by the caller.
        video::stream_state state;
        EXPECT_EQ(challenge.on_frame(info_of(frame_of(state))), V::pending) << c.what;
        const Bytes answer =
            frame_of(video::session_response{{},
                                             challenge.manet_addr() + c.addr_delta,
                                             challenge.consumer() + c.consumer_delta,
                                             255,
                                             c.result,
                                             "No stream found"});
        EXPECT_EQ(challenge.on_frame(info_of(answer)), c.verdict) << c.what;
        EXPECT_EQ(challenge.opened_session(), c.opened) << c.what;
    }
    GatewayChallenge challenge = make();
    const Bytes truncated = {video::session_response::TYPE, 3, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(challenge.on_frame(info_of(truncated)), V::failed);
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
