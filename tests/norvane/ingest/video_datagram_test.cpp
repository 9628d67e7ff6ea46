#include "kelvra/norvane/ingest/video_datagram.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <array>
#include <sstream>
#include <vector>

#include "support/video_datagram_builder.hpp"

namespace kelvra::norvane {
namespace {

using msgs::video::control_data;
using msgs::video::video_fragment_info;

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::vector<uint8_t> seal(std::vector<uint8_t> plaintext, const std::vector<uint8_t>& body,
                          const uint8_t* key = kKey) {
    plaintext.insert(plaintext.end(), body.begin(), body.end());
    return testing::seal_video_plaintext(0x00001A2B, 3, key, plaintext);
}

std::vector<uint8_t> header(bool control_first = true) {
    control_data control;
    control.sequence_number = 9;
    control.minimal_roundtrip = 30000;
    control.maximum_roundtrip = 50000;
    control.flight_id = 7;
    control.bitrate_est = 123456;
    control.video_format = 1;
    video_fragment_info info;
    info.sequence_number = 300;
    info.fragment_id = 2;
    info.fragments_number = 5;
    info.type = 1;
    std::vector<uint8_t> out;
    out.reserve(40);
    if (control_first) {
        control.serialize(out);
        info.serialize(out);
    } else {
        info.serialize(out);
        control.serialize(out);
    }
    return out;
}

class VideoDatagramTest : public ::testing::Test {
protected:
    VideoDatagramTest() {
        logger_ = std::make_shared<spdlog::logger>(
            "datagram-test", std::make_shared<spdlog::sinks::ostream_sink_st>(log_));
        logger_->set_pattern("%v");
        cipher_.set_key(kKey);
    }

    bool decrypt(const std::vector<uint8_t>& d) {
        plaintext_.size = 0;
        return decrypt_video_datagram({d.data(), d.size()}, cipher_, plaintext_, *logger_);
    }

    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> logger_;
    manet::AesGcm cipher_;
    std::array<uint8_t, 1500> storage_{};
    Slice<uint8_t> plaintext_{storage_.data(), 0, storage_.size()};
};

TEST_F(VideoDatagramTest, SmallestDatagramDecryptsToHeaderOnly) {
    const auto d = seal(header(), {});
    ASSERT_EQ(d.size(), 93u);
    ASSERT_TRUE(decrypt(d));
    EXPECT_EQ(plaintext_.size, 40u);
    EXPECT_EQ(read_datagram_address(d.data()).manet_addr, 0x1A2Bu);
    EXPECT_EQ(read_datagram_address(d.data()).camera_type, 3);

    const DatagramHeader parsed = parse_header_area(plaintext_.data, *logger_);
    EXPECT_TRUE(parsed.has_control);
    EXPECT_TRUE(parsed.has_fragment_info);
    EXPECT_EQ(parsed.consumed, 40u);
    EXPECT_EQ(parsed.control.flight_id, 7);
    EXPECT_EQ(parsed.control.bitrate_est, 123456u);
    EXPECT_EQ(parsed.fragment_info.sequence_number, 300u);
    EXPECT_EQ(parsed.fragment_info.fragments_number, 5);
}

TEST_F(VideoDatagramTest, FullSizeFragmentAndEitherHeaderOrder) {
    std::vector<uint8_t> body(1407);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
    const auto d = seal(header(false), body);
    ASSERT_EQ(d.size(), 1500u);
    ASSERT_TRUE(decrypt(d));
    ASSERT_EQ(plaintext_.size, 40u + 1407u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), plaintext_.data + 40));
    const DatagramHeader parsed = parse_header_area(plaintext_.data, *logger_);
    EXPECT_TRUE(parsed.has_control && parsed.has_fragment_info);
    EXPECT_EQ(parsed.consumed, 40u);
}

TEST_F(VideoDatagramTest, TamperedSectionsFailWithTheirLogs) {
    auto d = seal(header(), std::vector<uint8_t>(100, 1));
    d[20] ^= 1;  // control ciphertext
    EXPECT_FALSE(decrypt(d));
    EXPECT_EQ(log_.str(), "Failed to decrypt control data\n");
    log_.str("");

    d = seal(header(), std::vector<uint8_t>(100, 1));
    d[80] ^= 1;  // payload ciphertext: no log of its own
    EXPECT_FALSE(decrypt(d));
    EXPECT_EQ(log_.str(), "");

    // The clear part is not authenticated.
    d = seal(header(), std::vector<uint8_t>(100, 1));
    d[0] ^= 1;
    EXPECT_TRUE(decrypt(d));

    const uint8_t other_key[16] = {};
    EXPECT_FALSE(decrypt(seal(header(), {}, other_key)));
}

TEST_F(VideoDatagramTest, ShortOrMisfilledHeaderFrames) {
    // control_data announcing 20 bytes: too short, treated as absent; the walk goes on.
    std::vector<uint8_t> h = header();
    messgen::store_le<uint32_t>(h.data() + 1, 20);
    // Shift the rest so the frames still chain: 5 + 20, then the info frame at 25.
    std::vector<uint8_t> shifted(h.begin(), h.begin() + 25);
    shifted.insert(shifted.end(), h.begin() + 26, h.end());
    shifted.push_back(0);
    const DatagramHeader parsed = parse_header_area(shifted.data(), *logger_);
    EXPECT_FALSE(parsed.has_control);
    EXPECT_TRUE(parsed.has_fragment_info);
    EXPECT_EQ(parsed.consumed, 39u);
    EXPECT_EQ(log_.str(), "VideoReceiver, Failed to parse control_data message!\n");

    // A length reaching past the header area stops the walk.
    std::vector<uint8_t> runaway = header();
    messgen::store_le<uint32_t>(runaway.data() + 1, 0xFFFFFFF0u);
    const DatagramHeader stopped = parse_header_area(runaway.data(), *logger_);
    EXPECT_FALSE(stopped.has_control || stopped.has_fragment_info);
    EXPECT_EQ(stopped.consumed, 0u);
}

}  // namespace
}  // namespace kelvra::norvane
