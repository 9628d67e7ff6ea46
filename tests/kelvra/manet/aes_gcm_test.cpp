#include "kelvra/manet/aes_gcm.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace kelvra::manet {
namespace {

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Test cases 3 and 4 of the GCM specification (McGrew and Viega), AES-128, 96-bit IV, with the
// 128-bit tag truncated to its first 96 bits.
const auto kKey = hex("feffe9928665731c6d6a8f9467308308");
const auto kIv = hex("cafebabefacedbaddecaf888");
const auto kPlain =
    hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
        "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39");
const auto kCipher =
    hex("42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
        "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091");
const auto kAad = hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
const auto kTag = hex("5bc94fbc3221a5db94fae95ae7121a47");

TEST(AesGcm, MatchesPublishedVectorWithTruncatedTag) {
    AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey.data()));
    std::vector<uint8_t> out(kPlain.size());
    std::array<uint8_t, kGcmTagSize> tag{};
    ASSERT_TRUE(gcm.encrypt(out.data(), kPlain.data(), kPlain.size(), kIv.data(), tag.data(),
                            kAad.data(), kAad.size()));
    EXPECT_EQ(out, kCipher);
    EXPECT_EQ(std::vector<uint8_t>(tag.begin(), tag.end()),
              std::vector<uint8_t>(kTag.begin(), kTag.begin() + kGcmTagSize));

    std::vector<uint8_t> back(kCipher.size());
    ASSERT_TRUE(gcm.decrypt(back.data(), kCipher.data(), kCipher.size(), kIv.data(), kTag.data(),
                            kAad.data(), kAad.size()));
    EXPECT_EQ(back, kPlain);
}

TEST(AesGcm, RejectsTamperedTagCiphertextOrAad) {
    AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey.data()));
    std::vector<uint8_t> back(kCipher.size());
    auto tag = kTag;
    tag[11] ^= 1;
    EXPECT_FALSE(gcm.decrypt(back.data(), kCipher.data(), kCipher.size(), kIv.data(), tag.data(),
                             kAad.data(), kAad.size()));
    auto cipher = kCipher;
    cipher[0] ^= 0x80;
    EXPECT_FALSE(gcm.decrypt(back.data(), cipher.data(), cipher.size(), kIv.data(), kTag.data(),
                             kAad.data(), kAad.size()));
    EXPECT_FALSE(gcm.decrypt(back.data(), kCipher.data(), kCipher.size(), kIv.data(), kTag.data()));
}

TEST(AesGcm, EmptyPlaintextWithoutAadMatchesVector) {
    // Test case 1 of the GCM specification: zero key, zero IV, nothing to encrypt.
    AesGcm gcm;
    const std::vector<uint8_t> key(16, 0);
    const std::vector<uint8_t> iv(12, 0);
    ASSERT_TRUE(gcm.set_key(key.data()));
    std::array<uint8_t, kGcmTagSize> tag{};
    ASSERT_TRUE(gcm.encrypt(nullptr, nullptr, 0, iv.data(), tag.data()));
    EXPECT_EQ(std::vector<uint8_t>(tag.begin(), tag.end()), hex("58e2fccefa7e3061367f1d57"));
}

TEST(AesGcm, RefusesWithoutKey) {
    AesGcm gcm;
    std::array<uint8_t, kGcmTagSize> tag{};
    std::array<uint8_t, 4> data{};
    EXPECT_FALSE(gcm.encrypt(data.data(), data.data(), data.size(), data.data(), tag.data()));
}

}  // namespace
}  // namespace kelvra::manet
