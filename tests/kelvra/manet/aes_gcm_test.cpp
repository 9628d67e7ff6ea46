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

// Test cases 1, 3 and 4 of the GCM specification (McGrew and Viega), AES-128, 96-bit IV, with
// the 128-bit tag truncated to its first 96 bits.
struct Vector {
    const char* name;
    std::vector<uint8_t> key, iv, plain, aad, cipher, tag;
};

const std::string kPlain =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39";
const std::string kCipher =
    "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
    "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091";
const std::string kKey = "feffe9928665731c6d6a8f9467308308", kIv = "cafebabefacedbaddecaf888";

// Case 3 is case 4 with four more bytes of plaintext and no AAD.
const std::vector<Vector> kVectors = {
    {"1", hex(std::string(32, '0')), hex(std::string(24, '0')), hex(""), hex(""), hex(""),
     hex("58e2fccefa7e3061367f1d57")},
    {"3", hex(kKey), hex(kIv), hex(kPlain + "1aafd255"), hex(""), hex(kCipher + "473f5985"),
     hex("4d5c2af327cd64a62cf35abd2ba6fab4")},
    {"4", hex(kKey), hex(kIv), hex(kPlain), hex("feedfacedeadbeeffeedfacedeadbeefabaddad2"),
     hex(kCipher), hex("5bc94fbc3221a5db94fae95ae7121a47")},
};

// One context runs every vector in both directions, twice over: re-keying and switching
// between sealing and opening must not leave anything of the previous operation behind.
TEST(AesGcm, MatchesPublishedVectorsWithTruncatedTag) {
    AesGcm gcm;
    for (int round = 0; round < 2; ++round) {
        for (const Vector& v : kVectors) {
            SCOPED_TRACE(v.name);
            ASSERT_TRUE(gcm.set_key(v.key.data()));
            std::vector<uint8_t> out(v.plain.size());
            std::array<uint8_t, kGcmTagSize> tag{};
            ASSERT_TRUE(gcm.encrypt(out.data(), v.plain.data(), v.plain.size(), v.iv.data(),
                                    tag.data(), v.aad.data(), v.aad.size()));
            EXPECT_EQ(out, v.cipher);
            EXPECT_EQ(std::vector<uint8_t>(tag.begin(), tag.end()),
                      std::vector<uint8_t>(v.tag.begin(), v.tag.begin() + kGcmTagSize));

            std::vector<uint8_t> back(v.cipher.size());
            ASSERT_TRUE(gcm.decrypt(back.data(), v.cipher.data(), v.cipher.size(), v.iv.data(),
                                    v.tag.data(), v.aad.data(), v.aad.size()));
            EXPECT_EQ(back, v.plain);

            // In place, as the packet envelope and the datagram codec use it.
            std::vector<uint8_t> inplace = v.plain;
            ASSERT_TRUE(gcm.encrypt(inplace.data(), inplace.data(), inplace.size(), v.iv.data(),
                                    tag.data(), v.aad.data(), v.aad.size()));
            EXPECT_EQ(inplace, v.cipher);
        }
    }
}

TEST(AesGcm, RejectsTamperedTagCiphertextOrAadAndRefusesWithoutKey) {
    const Vector& v = kVectors.back();
    AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(v.key.data()));
    std::vector<uint8_t> back(v.cipher.size());
    const auto opens = [&](std::vector<uint8_t> cipher, std::vector<uint8_t> tag, size_t aad) {
        return gcm.decrypt(back.data(), cipher.data(), cipher.size(), v.iv.data(), tag.data(),
                           v.aad.data(), aad);
    };
    auto tag = v.tag, cipher = v.cipher;
    tag[11] ^= 1;
    cipher[0] ^= 0x80;
    EXPECT_FALSE(opens(v.cipher, tag, v.aad.size()));
    EXPECT_FALSE(opens(cipher, v.tag, v.aad.size()));
    EXPECT_FALSE(opens(v.cipher, v.tag, 0));
    // A refused datagram leaves the context fit for the next one.
    EXPECT_TRUE(opens(v.cipher, v.tag, v.aad.size()));

    AesGcm keyless;
    EXPECT_FALSE(
        keyless.encrypt(back.data(), v.plain.data(), v.plain.size(), v.iv.data(), tag.data()));
    EXPECT_FALSE(
        keyless.decrypt(back.data(), v.cipher.data(), v.cipher.size(), v.iv.data(), v.tag.data()));
}

}  // namespace
}  // namespace kelvra::manet
