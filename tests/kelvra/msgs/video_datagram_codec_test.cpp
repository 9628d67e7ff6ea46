#include "kelvra/msgs/video/video_datagram_codec.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace kelvra::msgs::video {
namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
constexpr DatagramAddress kAddress{0xA1B2C3D4, 7};

control_data control() {
    control_data c;
    c.sequence_number = 0x01020304;
    c.minimal_roundtrip = 40'000;
    c.maximum_roundtrip = 60'000;
    c.flight_id = -1;
    c.bitrate_est = 123'456;
    c.video_format = 2;
    return c;
}

video_fragment_info info() {
    video_fragment_info i;
    i.sequence_number = 77;
    i.fragment_id = 2;
    i.fragments_number = 3;
    i.type = 5;
    return i;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// IVs 0x01..0x0c and 0x0d..0x18, so each can be found in the datagram.
DatagramIvs counting_ivs() {
    DatagramIvs ivs;
    for (uint8_t i = 0; i < 12; ++i) {
        ivs.control[i] = static_cast<uint8_t>(i + 1);
        ivs.payload[i] = static_cast<uint8_t>(i + 13);
    }
    return ivs;
}

class VideoDatagramCodecTest : public ::testing::Test {
protected:
    VideoDatagramCodecTest() { cipher_.set_key(kKey); }

    // Empty when the codec refused.
    Bytes seal(const Bytes& fragment, size_t room = kMaxDatagramSize,
               manet::AesGcm* cipher = nullptr) {
        Bytes d(room);
        Slice<uint8_t> out{d.data(), 0, d.size()};
        const size_t n =
            seal_video_datagram(kAddress, control(), info(), {fragment.data(), fragment.size()},
                                counting_ivs(), cipher ? *cipher : cipher_, out);
        EXPECT_EQ(n, out.size);
        d.resize(out.size);
        return d;
    }
    Bytes seal_plain(const Bytes& plaintext) {
        Bytes d(kMaxDatagramSize);
        Slice<uint8_t> out{d.data(), 0, d.size()};
        seal_video_plaintext(kAddress, {plaintext.data(), plaintext.size()}, counting_ivs(),
                             cipher_, out);
        d.resize(out.size);
        return d;
    }
    DecryptResult decrypt(const Bytes& d) {
        opened_ = d;
        return open_video_datagram({opened_.data(), opened_.size()}, cipher_, plaintext_);
    }

    manet::AesGcm cipher_;
    Bytes opened_;
    ConstSlice<uint8_t> plaintext_;
};

TEST_F(VideoDatagramCodecTest, ByteExactLayoutAndOpenedBack) {
    const Bytes d = seal({0xde, 0xad, 0xbe, 0xef, 0x42});
    ASSERT_EQ(d.size(), 93u + 5);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 5),
              (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 7}));  // manet address LE, camera
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(d[5 + i], i + 1) << "control IV byte " << i;
        EXPECT_EQ(d[55 + i], i + 13) << "payload IV byte " << i;
    }

    // Each section opened with the cipher alone, independently of the codec.
    manet::AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey));
    Bytes control_plain(26);
    ASSERT_TRUE(gcm.decrypt(control_plain.data(), d.data() + 17, 26, d.data() + 5, d.data() + 43));
    EXPECT_EQ(control_plain, (Bytes{13,   21,   0,    0,    0,  // control_data frame header
                                    0x04, 0x03, 0x02, 0x01,     // sequence_number
                                    0x40, 0x9c, 0x00, 0x00,     // minimal_roundtrip 40000
                                    0x60, 0xea, 0x00, 0x00,     // maximum_roundtrip 60000
                                    0xff, 0xff, 0xff, 0xff,     // flight_id -1
                                    0x40, 0xe2, 0x01, 0x00,     // bitrate_est 123456
                                    2}));                       // video_format VP9
    Bytes payload_plain(d.size() - 79);
    ASSERT_TRUE(gcm.decrypt(payload_plain.data(), d.data() + 67, payload_plain.size(),
                            d.data() + 55, d.data() + d.size() - 12));
    EXPECT_EQ(payload_plain, (Bytes{4, 9, 0, 0, 0,            // video_fragment_info frame header
                                    77, 0, 0, 0, 2, 0, 3, 0,  // sequence_number, fragment_id, count
                                    5,                        // type
                                    0xde, 0xad, 0xbe, 0xef, 0x42}));

    const auto address = read_datagram_address({d.data(), d.size()});
    ASSERT_TRUE(address);
    EXPECT_EQ(address->manet_addr, kAddress.manet_addr);
    EXPECT_EQ(address->camera_type, kAddress.camera_type);
    ASSERT_EQ(decrypt(d), DecryptResult::kOk);
    EXPECT_EQ(Bytes(plaintext_.data, plaintext_.data + plaintext_.size),
              cat({control_plain, payload_plain}));
}

TEST_F(VideoDatagramCodecTest, SealingBoundsAndFailures) {
    EXPECT_EQ(seal({}).size(), 93u);
    EXPECT_EQ(seal(Bytes(kMaxFragmentPayload, 1)).size(), kMaxDatagramSize);
    // One byte more would not fit a datagram the receiver accepts.
    EXPECT_TRUE(seal(Bytes(kMaxFragmentPayload + 1, 1)).empty());
    EXPECT_TRUE(seal(Bytes(10, 1), 93 + 9).empty()) << "no room in the output";

    manet::AesGcm keyless;
    EXPECT_TRUE(seal({1, 2, 3}, kMaxDatagramSize, &keyless).empty());

    // A caller-made plaintext needs a whole control section and must fit a datagram.
    EXPECT_TRUE(seal_plain(Bytes(25, 0)).empty());
    EXPECT_EQ(seal_plain(Bytes(26, 0)).size(), 79u);
    EXPECT_TRUE(seal_plain(Bytes(kMaxDatagramSize - 52, 0)).empty());
}

TEST_F(VideoDatagramCodecTest, DecryptRefusesDamagedOrShortDatagrams) {
    const Bytes good = seal(Bytes(100, 1));
    const Bytes smallest = seal({});
    struct Case {
        const char* name;
        Bytes datagram;
        DecryptResult expected;
    };
    auto flipped = [&](size_t at) {
        Bytes d = good;
        d[at] ^= 1;
        return d;
    };
    const uint8_t other_key[16] = {};
    manet::AesGcm other;
    other.set_key(other_key);
    const Bytes foreign = seal({}, kMaxDatagramSize, &other);
    const std::vector<Case> cases = {
        {"control ciphertext", flipped(20), DecryptResult::kControlFailed},
        {"control tag", flipped(50), DecryptResult::kControlFailed},
        {"payload ciphertext", flipped(80), DecryptResult::kPayloadFailed},
        {"payload tag", flipped(good.size() - 1), DecryptResult::kPayloadFailed},
        {"clear part is not authenticated", flipped(0), DecryptResult::kOk},
        {"other key", foreign, DecryptResult::kControlFailed},
        {"cut by one byte", Bytes(good.begin(), good.end() - 1), DecryptResult::kPayloadFailed},
        {"too short for the fragment-info frame", Bytes(smallest.begin(), smallest.end() - 1),
         DecryptResult::kPayloadFailed},
        {"too short for the control section", Bytes(smallest.begin(), smallest.begin() + 54),
         DecryptResult::kControlFailed},
        {"empty", {}, DecryptResult::kControlFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decrypt(c.datagram), c.expected);
        EXPECT_EQ(plaintext_.size, c.expected == DecryptResult::kOk ? 140u : 0u);
    }
    EXPECT_FALSE(read_datagram_address({smallest.data(), 92}));
    EXPECT_TRUE(read_datagram_address({smallest.data(), 93}));
}

// Header areas as a sender might lay them out: frames in either order, too short, unknown,
// repeated, or announcing more than the area holds.
TEST(VideoDatagramHeader, WalksEveryLayoutWithinTheArea) {
    Bytes control_frame, info_frame;
    control_frame.reserve(26);
    info_frame.reserve(14);
    control().serialize(control_frame);
    info().serialize(info_frame);
    auto with_length = [](Bytes frame, uint32_t length) {
        messgen::store_le<uint32_t>(frame.data() + 1, length);
        return frame;
    };
    Bytes short_control = with_length(control_frame, 20);
    short_control.pop_back();
    // Records are written C (control_data) and F (video_fragment_info).
    struct Case {
        const char* name;
        Bytes plaintext;
        std::string present;
        size_t consumed;
        std::string too_short;
        size_t fragment;
    };
    const std::vector<Case> cases = {
        {"control first", cat({control_frame, info_frame, Bytes(3, 9)}), "CF", 40, "", 3},
        {"info first", cat({info_frame, control_frame}), "CF", 40, "", 0},
        {"short control frame", cat({short_control, info_frame, Bytes(1, 0)}), "F", 39, "C", 0},
        {"short info frames", cat({{4, 0, 0, 0, 0}, {4, 1, 0, 0, 0, 0}, control_frame, {0, 0, 0}}),
         "C", 37, "FF", 0},
        {"unknown frame skipped", cat({{99, 9, 0, 0, 0}, Bytes(9, 0), control_frame}), "C", 40, "",
         0},
        {"later frame replaces earlier",
         cat({info_frame, info_frame, {4, 7, 0, 0, 0}, Bytes(7, 0)}), "", 40, "F", 0},
        {"length past the area", with_length(cat({control_frame, info_frame}), 0xFFFFFFF0u), "", 0,
         "", 0},
        {"length that wraps a 32-bit sum",
         with_length(cat({control_frame, info_frame}), 0xFFFFFFFCu), "", 0, "", 0},
        {"plaintext shorter than the area", control_frame, "C", 26, "", 0},
        {"empty plaintext", {}, "", 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DatagramHeader h = parse_header_area({c.plaintext.data(), c.plaintext.size()});
        std::string present, too_short;
        if (h.has_control) present += 'C';
        if (h.has_fragment_info) present += 'F';
        for (size_t i = 0; i < h.short_record_count; ++i)
            too_short += h.short_records[i] == HeaderRecord::kControl ? 'C' : 'F';
        EXPECT_EQ(present, c.present);
        EXPECT_EQ(h.consumed, c.consumed);
        EXPECT_EQ(too_short, c.too_short);
        EXPECT_EQ(h.area.size, std::min<size_t>(c.plaintext.size(), 40));
        EXPECT_EQ(h.fragment.size, c.fragment);
        EXPECT_EQ(h.control.bitrate_est, h.has_control ? 123'456u : 0u);
        EXPECT_EQ(h.fragment_info.sequence_number, h.has_fragment_info ? 77u : 0u);
    }
}

}  // namespace
}  // namespace kelvra::msgs::video
