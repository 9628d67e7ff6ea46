#include "../../../tools/sender/datagram_sealer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "open_datagram.hpp"

namespace kelvra::norvane::sender {
namespace {

using testing::open_datagram;

constexpr std::array<uint8_t, 16> kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// Hands out 0x01, 0x02, ... so that each nonce can be found in the datagram; or nothing at all.
class CountingIvSource final : public IvSource {
public:
    explicit CountingIvSource(bool works = true) : works_(works) {}
    bool fill(uint8_t* out, size_t size) override {
        for (size_t i = 0; i < size; ++i) out[i] = ++next_;
        return works_;
    }

private:
    bool works_;
    uint8_t next_ = 0;
};

std::vector<uint8_t> seal(DatagramSealer& sealer, const std::vector<uint8_t>& fragment) {
    msgs::video::control_data c;
    c.sequence_number = 0x01020304;
    c.minimal_roundtrip = 40'000;
    c.maximum_roundtrip = 60'000;
    c.flight_id = -1;
    c.bitrate_est = 123'456;
    c.video_format = 2;
    msgs::video::video_fragment_info i;
    i.sequence_number = 77;
    i.fragment_id = 2;
    i.fragments_number = 3;
    i.type = 5;
    std::vector<uint8_t> out(kMaxDatagramSize);
    out.resize(sealer.seal({0xA1B2C3D4, 7}, c, i, {fragment.data(), fragment.size()}, out.data()));
    return out;
}

TEST(DatagramSealer, ByteExactLayoutDecryptedSectionBySection) {
    CountingIvSource ivs;
    DatagramSealer sealer(ivs);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    const auto d = seal(sealer, {0xde, 0xad, 0xbe, 0xef, 0x42});
    ASSERT_EQ(d.size(), 93u + 5);

    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 5),
              (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 7}));  // manet address LE, camera
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(d[5 + i], i + 1) << "control nonce byte " << i;
        EXPECT_EQ(d[55 + i], i + 13) << "payload nonce byte " << i;
    }
    manet::AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey.data()));
    std::vector<uint8_t> control(26);
    ASSERT_TRUE(gcm.decrypt(control.data(), d.data() + 17, 26, d.data() + 5, d.data() + 43));
    EXPECT_EQ(control,
              (std::vector<uint8_t>{13,   21,   0,    0,    0,  // control_data frame header
                                    0x04, 0x03, 0x02, 0x01,     // sequence_number
                                    0x40, 0x9c, 0x00, 0x00,     // minimal_roundtrip 40000
                                    0x60, 0xea, 0x00, 0x00,     // maximum_roundtrip 60000
                                    0xff, 0xff, 0xff, 0xff,     // flight_id -1
                                    0x40, 0xe2, 0x01, 0x00,     // bitrate_est 123456
                                    2}));                       // video_format VP9
    std::vector<uint8_t> payload(d.size() - 79);
    ASSERT_TRUE(gcm.decrypt(payload.data(), d.data() + 67, payload.size(), d.data() + 55,
                            d.data() + d.size() - 12));
    EXPECT_EQ(payload,
              (std::vector<uint8_t>{4, 9, 0, 0, 0,            // video_fragment_info frame header
                                    77, 0, 0, 0, 2, 0, 3, 0,  // sequence_number, fragment_id, count
                                    5,                        // type
                                    0xde, 0xad, 0xbe, 0xef, 0x42}));
}

TEST(DatagramSealer, SizeBoundsFreshNoncesAndFailures) {
    RandomIvSource ivs;
    DatagramSealer sealer(ivs);
    ASSERT_TRUE(sealer.set_key(kKey.data()));
    EXPECT_EQ(seal(sealer, {}).size(), 93u);
    EXPECT_EQ(seal(sealer, std::vector<uint8_t>(kMaxFragmentPayload, 1)).size(), kMaxDatagramSize);
    // One byte more would not fit a datagram the receiver accepts.
    EXPECT_TRUE(seal(sealer, std::vector<uint8_t>(kMaxFragmentPayload + 1, 1)).empty());

    const auto a = seal(sealer, std::vector<uint8_t>(100, 3));
    const auto b = seal(sealer, std::vector<uint8_t>(100, 3));
    EXPECT_FALSE(std::equal(a.begin() + 5, a.begin() + 17, a.begin() + 55)) << "nonce reused";
    EXPECT_FALSE(std::equal(a.begin() + 5, a.begin() + 17, b.begin() + 5)) << "nonce reused";
    EXPECT_TRUE(open_datagram(b, kKey.data()));

    DatagramSealer keyless(ivs);
    EXPECT_TRUE(seal(keyless, {1, 2, 3}).empty());
    CountingIvSource no_nonces(false);
    DatagramSealer starved(no_nonces);
    ASSERT_TRUE(starved.set_key(kKey.data()));
    EXPECT_TRUE(seal(starved, {1, 2, 3}).empty());
}

}  // namespace
}  // namespace kelvra::norvane::sender
