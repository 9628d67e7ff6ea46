#include "kelvra/manet/packetizer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace kelvra::manet {
namespace {

constexpr uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

ConstSlice<uint8_t> view(const std::vector<uint8_t>& v) {
    return {v.data(), v.size()};
}

// A packetizer over its own plaintext buffer, keyed and sealing.
struct Endpoint {
    explicit Endpoint(size_t plaintext_capacity = 8192)
        : storage(plaintext_capacity), plaintext{storage.data(), 0, storage.size()} {
        EXPECT_TRUE(packetizer.set_key(kKey));
        packetizer.encrypt = true;
    }

    std::vector<uint8_t> seal(const std::vector<uint8_t>& payload, uint32_t src = 0x0a0b0c0d,
                              uint32_t dst = 0x01020304, uint8_t channel = 7) {
        std::vector<uint8_t> out(payload.size() + Packetizer::kEncryptedOverhead);
        Slice<uint8_t> slice{out.data(), 0, out.size()};
        MAPacket packet{src, dst, channel, false, view(payload)};
        EXPECT_EQ(packetizer.serialize(packet, slice), Packetizer::kOk);
        out.resize(slice.size);
        return out;
    }

    std::vector<uint8_t> storage;
    Slice<uint8_t> plaintext;
    Packetizer packetizer{plaintext};
};

std::vector<uint8_t> payload_of(const MAPacket& p) {
    return {p.payload.data, p.payload.data + p.payload.size};
}

TEST(Packetizer, ErrorTexts) {
    EXPECT_STREQ(Packetizer::format_error(0), "OK");
    EXPECT_STREQ(Packetizer::format_error(-2), "Packet is too big");
    EXPECT_STREQ(Packetizer::format_error(-3), "Packet is smaller than nonce and auth tag");
    EXPECT_STREQ(Packetizer::format_error(-4), "AES-GCM function error");
    EXPECT_STREQ(Packetizer::format_error(-5), "Input buffer is smaller than MAPacket header");
    EXPECT_STREQ(Packetizer::format_error(-6), "Cannot serialize encrypted buffer");
    EXPECT_STREQ(Packetizer::format_error(-1), "Unknown error");
    EXPECT_STREQ(Packetizer::format_error(7), "Unknown error");
}

TEST(Packetizer, SealedRecordRoundTripsAndNoncesDiffer) {
    Endpoint ep;
    const auto payload = bytes("two frames would go here");
    const auto a = ep.seal(payload);
    const auto b = ep.seal(payload);
    ASSERT_EQ(a.size(), payload.size() + 34);
    // Same header, flag 1; nonce, ciphertext and tag all differ.
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 9, b.begin()));
    EXPECT_EQ(a[9], 1);
    EXPECT_FALSE(std::equal(a.begin() + 10, a.begin() + 22, b.begin() + 10));
    EXPECT_FALSE(std::equal(a.begin() + 22, a.end() - 12, b.begin() + 22));
    EXPECT_FALSE(std::equal(a.end() - 12, a.end(), b.end() - 12));

    MAPacket out;
    ASSERT_EQ(ep.packetizer.parse(view(a), out), Packetizer::kOk);
    EXPECT_EQ(out.src_addr, 0x0a0b0c0du);
    EXPECT_EQ(out.dst_addr, 0x01020304u);
    EXPECT_EQ(out.channel, 7);
    EXPECT_FALSE(out.encrypted);
    EXPECT_EQ(out.payload.data, ep.plaintext.data);
    EXPECT_EQ(payload_of(out), payload);
}

TEST(Packetizer, PlainRecordsAreUsedInPlace) {
    Endpoint ep;
    ep.packetizer.encrypt = false;
    const auto payload = bytes("abc");
    std::vector<uint8_t> out(20, 0xee);
    Slice<uint8_t> slice{out.data(), 2, out.size()};  // appends after what is held
    ASSERT_EQ(ep.packetizer.serialize({0x04030201, 0x08070605, 9, false, view(payload)}, slice),
              Packetizer::kOk);
    EXPECT_EQ(slice.size, 2u + 13u);
    const std::vector<uint8_t> expected = {0xee, 0xee, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                           0x07, 0x08, 0x09, 0x00, 'a',  'b',  'c',  0xee};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 16), expected);

    MAPacket parsed;
    const ConstSlice<uint8_t> record{out.data() + 2, 13};
    ASSERT_EQ(ep.packetizer.parse(record, parsed), Packetizer::kOk);
    EXPECT_EQ(parsed.src_addr, 0x04030201u);
    EXPECT_EQ(parsed.dst_addr, 0x08070605u);
    EXPECT_EQ(parsed.channel, 9);
    EXPECT_EQ(parsed.payload.data, record.data + 10);
    EXPECT_EQ(payload_of(parsed), payload);

    // The header alone is an empty plain record.
    ASSERT_EQ(ep.packetizer.parse({record.data, 10}, parsed), Packetizer::kOk);
    EXPECT_EQ(parsed.payload.size, 0u);
}

// The layout is checked against a record sealed directly with the cipher, independent of
// serialize: header, nonce at 10, ciphertext at 22, 12-byte tag last, AAD = bytes 0..8.
TEST(Packetizer, OpensRecordSealedByHandWithKnownNonce) {
    const auto payload = bytes("hello");
    const uint8_t nonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> record = {
        0x78, 0x56, 0x34, 0x12,  // src_addr 0x12345678
        0xef, 0xcd, 0xab, 0x90,  // dst_addr 0x90abcdef
        0x05,                    // channel
        0x01,                    // encrypted
    };
    record.insert(record.end(), nonce, nonce + 12);
    record.resize(record.size() + payload.size() + 12);
    AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey));
    ASSERT_TRUE(gcm.encrypt(record.data() + 22, payload.data(), payload.size(), nonce,
                            record.data() + 22 + payload.size(), record.data(), 9));

    Endpoint ep;
    MAPacket out;
    ASSERT_EQ(ep.packetizer.parse(view(record), out), Packetizer::kOk);
    EXPECT_EQ(out.src_addr, 0x12345678u);
    EXPECT_EQ(out.dst_addr, 0x90abcdefu);
    EXPECT_EQ(out.channel, 5);
    EXPECT_EQ(payload_of(out), payload);
}

TEST(Packetizer, ShortRecords) {
    Endpoint ep;
    MAPacket out;
    out.src_addr = 42;
    std::vector<uint8_t> nine(9, 0);
    EXPECT_EQ(ep.packetizer.parse(view(nine), out), Packetizer::kSmallerThanHeader);

    // An encrypted record needs room for nonce and tag: 33 bytes is one short.
    ep.plaintext.size = 5;
    std::vector<uint8_t> short_sealed(33, 0);
    short_sealed[9] = 1;
    EXPECT_EQ(ep.packetizer.parse(view(short_sealed), out), Packetizer::kTooSmallForNonceAndTag);
    EXPECT_EQ(ep.plaintext.size, 0u);
    EXPECT_EQ(out.src_addr, 42u);  // untouched on failure

    const auto empty = ep.seal({});
    ASSERT_EQ(empty.size(), 34u);
    ASSERT_EQ(ep.packetizer.parse(view(empty), out), Packetizer::kOk);
    EXPECT_EQ(out.payload.size, 0u);
}

TEST(Packetizer, AuthenticatesAddressesAndChannelButNotTheFlag) {
    Endpoint ep;
    const auto sealed = ep.seal(bytes("payload"));
    for (size_t i = 0; i < 9; ++i) {
        auto tampered = sealed;
        tampered[i] ^= 0x01;
        MAPacket out;
        out.src_addr = 42;
        EXPECT_EQ(ep.packetizer.parse(view(tampered), out), Packetizer::kAesGcmError) << i;
        EXPECT_EQ(out.src_addr, 42u);
        EXPECT_EQ(ep.plaintext.size, 0u) << "unauthenticated bytes left in the buffer";
    }
    auto tampered_body = sealed;
    tampered_body[25] ^= 0x80;
    MAPacket out;
    EXPECT_EQ(ep.packetizer.parse(view(tampered_body), out), Packetizer::kAesGcmError);

    auto flag_two = sealed;
    flag_two[9] = 2;
    ASSERT_EQ(ep.packetizer.parse(view(flag_two), out), Packetizer::kOk);
    EXPECT_EQ(payload_of(out), bytes("payload"));
}

TEST(Packetizer, WrongKeyFails) {
    Endpoint ep;
    const auto sealed = ep.seal(bytes("payload"));
    std::vector<uint8_t> storage(64);
    Slice<uint8_t> plaintext{storage.data(), 0, storage.size()};
    Packetizer other(plaintext);
    MAPacket out;
    EXPECT_EQ(other.parse(view(sealed), out), Packetizer::kAesGcmError);  // no key at all
    uint8_t wrong[16] = {};
    ASSERT_TRUE(other.set_key(wrong));
    EXPECT_EQ(other.parse(view(sealed), out), Packetizer::kAesGcmError);
}

TEST(Packetizer, PayloadBeyondPlaintextBufferIsTooBig) {
    Endpoint big(8193);
    const auto sealed = big.seal(std::vector<uint8_t>(8193, 0x5a));
    Endpoint ep(8192);
    MAPacket out;
    EXPECT_EQ(ep.packetizer.parse(view(sealed), out), Packetizer::kTooBig);
    const auto fits = big.seal(std::vector<uint8_t>(8192, 0x5a));
    EXPECT_EQ(ep.packetizer.parse(view(fits), out), Packetizer::kOk);
    EXPECT_EQ(out.payload.size, 8192u);
}

TEST(Packetizer, SerializeRefusesWithoutWritingAnything) {
    Endpoint ep;
    const auto payload = bytes("abcdef");
    std::vector<uint8_t> out(64, 0xee);
    Slice<uint8_t> slice{out.data(), 3, out.size()};

    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, true, view(payload)}, slice),
              Packetizer::kCannotSerializeEncrypted);
    EXPECT_EQ(slice.size, 3u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0xee));

    // One byte short of the sealed record, then of the plain one.
    slice.capacity = 3 + payload.size() + 33;
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, view(payload)}, slice), Packetizer::kTooBig);
    ep.packetizer.encrypt = false;
    slice.capacity = 3 + payload.size() + 9;
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, view(payload)}, slice), Packetizer::kTooBig);
    slice.capacity = 5;  // less room than a header
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, {}}, slice), Packetizer::kTooBig);
    EXPECT_EQ(slice.size, 3u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0xee));
}

TEST(Packetizer, SealingWithoutKeyFails) {
    std::vector<uint8_t> storage(64);
    Slice<uint8_t> plaintext{storage.data(), 0, storage.size()};
    Packetizer keyless(plaintext);
    keyless.encrypt = true;
    std::vector<uint8_t> out(64);
    Slice<uint8_t> slice{out.data(), 0, out.size()};
    EXPECT_EQ(keyless.serialize({1, 2, 3, false, {}}, slice), Packetizer::kAesGcmError);
    EXPECT_EQ(slice.size, 0u);
}

}  // namespace
}  // namespace kelvra::manet
