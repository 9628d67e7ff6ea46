#include "../../../tools/sender/datagram_sealer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "open_datagram.hpp"

namespace kelvra::norvane::sender {
namespace {

using testing::open_datagram;

constexpr std::array<uint8_t, 16> kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// Hands out 0x01, 0x02, ... so that each nonce can be found in the datagram.
class CountingIvSource final : public IvSource {
public:
    bool fill(uint8_t* out, size_t size) override {
        for (size_t i = 0; i < size; ++i) out[i] = ++next_;
        return true;
    }

private:
    uint8_t next_ = 0;
};

class FailingIvSource final : public IvSource {
public:
    bool fill(uint8_t*, size_t) override { return false; }
};

msgs::video::control_data sample_control() {
    msgs::video::control_data c;
    c.sequence_number = 0x01020304;
    c.minimal_roundtrip = 40'000;
    c.maximum_roundtrip = 60'000;
    c.flight_id = -1;
    c.bitrate_est = 123'456;
    c.video_format = 2;
    return c;
}

msgs::video::video_fragment_info sample_info() {
    msgs::video::video_fragment_info i;
    i.sequence_number = 77;
    i.fragment_id = 2;
    i.fragments_number = 3;
    i.type = 5;
    return i;
}

std::vector<uint8_t> seal(DatagramSealer& sealer, const std::vector<uint8_t>& fragment) {
    std::vector<uint8_t> out(kMaxDatagramSize);
    const size_t n = sealer.seal({0xA1B2C3D4, 7}, sample_control(), sample_info(),
                                 {fragment.data(), fragment.size()}, out.data());
    out.resize(n);
    return out;
}

TEST(DatagramSealer, LaysOutClearHeaderNoncesAndSectionsAtTheirOffsets) {
    CountingIvSource ivs;
    DatagramSealer sealer(ivs);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    const std::vector<uint8_t> fragment = {0xde, 0xad, 0xbe, 0xef, 0x42};
    const auto d = seal(sealer, fragment);
    ASSERT_EQ(d.size(), 93u + fragment.size());

    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 5),
              (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 7}));  // manet address LE, camera
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(d[5 + i], i + 1) << "control nonce byte " << i;
        EXPECT_EQ(d[55 + i], i + 13) << "payload nonce byte " << i;
    }

    // Each section decrypts on its own with the nonce and tag at the documented offsets.
    manet::AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey.data()));
    std::array<uint8_t, 26> control{};
    ASSERT_TRUE(gcm.decrypt(control.data(), d.data() + 17, 26, d.data() + 5, d.data() + 43));
    const std::array<uint8_t, 26> expected_control = {
        13,   21,   0,    0,    0,  // control_data frame header
        0x04, 0x03, 0x02, 0x01,     // sequence_number
        0x40, 0x9c, 0x00, 0x00,     // minimal_roundtrip 40000
        0x60, 0xea, 0x00, 0x00,     // maximum_roundtrip 60000
        0xff, 0xff, 0xff, 0xff,     // flight_id -1
        0x40, 0xe2, 0x01, 0x00,     // bitrate_est 123456
        2,                          // video_format VP9
    };
    EXPECT_EQ(control, expected_control);

    std::vector<uint8_t> payload(d.size() - 79);
    ASSERT_TRUE(gcm.decrypt(payload.data(), d.data() + 67, payload.size(), d.data() + 55,
                            d.data() + d.size() - 12));
    const std::vector<uint8_t> expected_payload = {
        4,    9,    0,    0,    0,  // video_fragment_info frame header
        77,   0,    0,    0,        // sequence_number
        2,    0,                    // fragment_id
        3,    0,                    // fragments_number
        5,                          // type
        0xde, 0xad, 0xbe, 0xef, 0x42,
    };
    EXPECT_EQ(payload, expected_payload);
}

TEST(DatagramSealer, EmptyFragmentMakesTheSmallestDatagramAndAFullOneTheLargest) {
    RandomIvSource ivs;
    DatagramSealer sealer(ivs);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    const auto empty = seal(sealer, {});
    ASSERT_EQ(empty.size(), 93u);
    const auto opened = open_datagram(empty, kKey.data());
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->fragment.empty());
    EXPECT_EQ(opened->info.fragment_id, 2);

    const auto full = seal(sealer, std::vector<uint8_t>(1400, 0x5a));
    EXPECT_EQ(full.size(), 1493u);
    const auto largest = seal(sealer, std::vector<uint8_t>(kMaxFragmentPayload, 1));
    EXPECT_EQ(largest.size(), kMaxDatagramSize);
    // One byte more would not fit a datagram the receiver accepts.
    EXPECT_TRUE(seal(sealer, std::vector<uint8_t>(kMaxFragmentPayload + 1, 1)).empty());
}

TEST(DatagramSealer, FreshNoncesAndOnlyTheRightKeyOpensIt) {
    RandomIvSource ivs;
    DatagramSealer sealer(ivs);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    const std::vector<uint8_t> fragment(100, 3);
    const auto a = seal(sealer, fragment);
    const auto b = seal(sealer, fragment);
    const auto nonce = [](const std::vector<uint8_t>& d, size_t at) {
        return std::vector<uint8_t>(d.begin() + at, d.begin() + at + 12);
    };
    EXPECT_NE(nonce(a, 5), nonce(a, 55));
    EXPECT_NE(nonce(a, 5), nonce(b, 5));
    EXPECT_NE(a, b);

    auto other = kKey;
    other[0] ^= 1;
    EXPECT_FALSE(open_datagram(a, other.data()));
    auto tampered = a;
    tampered[80] ^= 0x10;
    EXPECT_FALSE(open_datagram(tampered, kKey.data()));
    EXPECT_TRUE(open_datagram(a, kKey.data()));
}

TEST(DatagramSealer, FailsWithoutKeyOrNonces) {
    RandomIvSource ivs;
    DatagramSealer keyless(ivs);
    EXPECT_TRUE(seal(keyless, {1, 2, 3}).empty());

    FailingIvSource no_nonces;
    DatagramSealer sealer(no_nonces);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    EXPECT_TRUE(seal(sealer, {1, 2, 3}).empty());
}

}  // namespace
}  // namespace kelvra::norvane::sender
